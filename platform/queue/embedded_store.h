// The embedded store's extras beyond the Store interface (store.h): how the
// administration tells whether a queue manager's files exist.
#pragma once

#include <string>

namespace krsoap::queue {

// True when the embedded queue manager `name` has a database under the data
// root.
bool EmbeddedStoreExists(const std::string& name);

}  // namespace krsoap::queue
