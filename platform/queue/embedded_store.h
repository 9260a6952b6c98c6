// The embedded store's extras beyond the Store interface (store.h): how the
// administration tells whether a queue manager's files exist, and the layout
// of its shared file.
#pragma once

#include <cstddef>
#include <string>

namespace krsoap::queue {

// True when the embedded queue manager `name` has a database under the data
// root.
bool EmbeddedStoreExists(const std::string& name);

// Where the shared file (qm/<name>/qm.shm) keeps its parts, as byte offsets
// and sizes, for tests that damage one part on purpose.
struct EmbeddedSharedFileLayout {
  size_t file_size;
  size_t header_size;
  size_t queues_offset, queue_size;    // kMaxQueues slots
  size_t procs_offset, proc_size;      // one slot per attached process
  size_t entries_offset, entry_size;   // one per message
  size_t chunks_offset, chunk_size;    // non-persistent bodies
};
EmbeddedSharedFileLayout SharedFileLayout();

}  // namespace krsoap::queue
