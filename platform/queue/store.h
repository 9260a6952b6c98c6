// The queue manager's store interface: everything the binding libraries need
// from the place a queue manager keeps its queues and messages.
//
// The bindings (handles, argument checks, descriptor handling, routing of the
// object queue manager name) are store-independent and live in
// queue_manager.{h,cpp}. A store implements one queue manager's objects and
// messages. Two stores exist:
//
//   "sqlite"      the embedded store (embedded_store.{h,cpp}): one directory
//                 per queue manager under the data root; definitions and
//                 persistent messages in SQLite (WAL), non-persistent messages
//                 in a shared mapped file; cross-process wake-ups by futex.
//   "postgresql"  pg_store.{h,cpp}: a queue manager whose store value is a
//                 libpq connection string ("postgresql://..." or
//                 "postgres://..."); factory function MakePgStore below.
//
// Contract every implementation keeps (the conformance suite in tests/queue
// checks it, run once per store):
//  * Every function returns a reason code (KRRC_*, krqueue.h); 0 is success.
//    No function throws; no function blocks longer than the wait it is given
//    (plus the time of one store round trip).
//  * A Store object is used by many threads of one process at once; it
//    serialises what it must itself.
//  * Names given to a store have been checked by the caller: 1..48 bytes, no
//    trailing blanks, characters A-Z a-z 0-9 . _ % / only.
//  * Messages: priority order (9 first), first in first out within a priority;
//    each message is taken by exactly one destructive get, even with getters
//    in several processes or on several machines; a get never returns an
//    expired message (and removes those it meets).
//  * Dynamic queues belong to the Store object that created them: they are
//    deleted with their messages by DeleteDynamicQueue, when the Store object
//    is destroyed, and when its process dies in any way (the next caller of
//    any Store of the same queue manager sweeps them).
//
// Conformance test parameterisation (tests/queue/): the suite runs against
// every entry of StoreFactories() in tests/queue/store_list.cpp: "sqlite"
// always; "postgresql" when the environment variable KRSOAP_TEST_PG holds a
// libpq connection string. The benchmark (bench/queue/) adds a PostgreSQL
// column when KRSOAP_BENCH_PG is set, the same way.
//
// The interface was fixed at the start of the work so that both stores could
// be written side by side; extend it only additively.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"

namespace krsoap::queue {

enum class QueueKind : int32_t {
  kLocal = 1,             // a defined local queue
  kModel = 2,             // a model: opening it creates a dynamic queue
  kTemporaryDynamic = 3,  // made from a model; gone with its creator
};

// A queue's definition and attributes.
struct QueueAttributes {
  std::string name;
  QueueKind kind = QueueKind::kLocal;
  int32_t default_priority = 0;        // 0..9
  int32_t default_persistence = 0;     // KRPER_NOT_PERSISTENT or KRPER_PERSISTENT
  int32_t max_depth = 5000;            // messages
  int32_t max_message_length = 4 * 1024 * 1024;  // bytes
  bool get_inhibited = false;
  bool put_inhibited = false;
  // Where a server moves a message that keeps being backed out ("": none,
  // the server's default), and after how many back-outs (0: the server's
  // default). The queue manager only keeps and reports them.
  std::string backout_queue;
  int32_t backout_threshold = 0;
};

// A queue as listed by administration.
struct QueueInfo {
  QueueAttributes attributes;
  int64_t depth = 0;          // messages on the queue (not counting expired ones
                              // the store has not met yet)
  int64_t open_handles = 0;   // object handles open on it, in every process
};

// One message as stored. `md` is the whole descriptor as a get hands it back:
// message id assigned, priority and persistence resolved (never -1 / 2),
// put date and time set. `expiry_deadline_ms` is the wall-clock time in
// milliseconds since the epoch after which the message is expired (0: never);
// the store does not look at md.Expiry.
struct Message {
  KRMD md{};
  std::string body;
  int64_t expiry_deadline_ms = 0;
};

// The clock of expiry deadlines: wall-clock milliseconds since the epoch,
// the same in every process of the machine.
inline int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// md.Expiry as a get hands it back for a message with `left_ms` to go:
// tenths of a second, rounded up, at least 1 (an expired message still being
// handed over says it has a moment left).
inline KRLONG ExpiryTenthsLeft(int64_t left_ms) {
  return static_cast<KRLONG>(std::clamp<int64_t>((left_ms + 99) / 100, 1, INT32_MAX));
}

// Position of a browse cursor: the last message browsed, by its ordering key.
// Browse-next returns the first message ordered after it (priority descending,
// then put order). `seq` is a store-defined put-order number.
struct BrowseCursor {
  bool valid = false;  // false: before the first message
  int32_t priority = 0;
  int64_t seq = 0;
};

enum class GetMode : int32_t {
  kRemove = 0,       // destructive get
  kBrowseFirst = 1,  // restart the cursor, return the first message
  kBrowseNext = 2,   // the first message past the cursor
};

struct GetRequest {
  GetMode mode = GetMode::kRemove;
  bool match_msg_id = false;     // select by md.MsgId
  bool match_correl_id = false;  // select by md.CorrelId
  KRBYTE msg_id[KR_MSG_ID_LENGTH] = {};
  KRBYTE correl_id[KR_CORREL_ID_LENGTH] = {};
  // Milliseconds to wait for a matching message: 0 no wait, -1 forever. The
  // get returns the moment a matching message is put (no polling).
  int32_t wait_ms = 0;
  // Caller's buffer. A message longer than buffer_length is not removed and
  // does not move a browse cursor: the call returns KRRC_TRUNCATED_MSG_FAILED
  // with the descriptor, the full data_length, and the first buffer_length
  // bytes copied.
  void* buffer = nullptr;
  int32_t buffer_length = 0;
  // Nonzero (kRemove only): the get is part of this unit of work (BeginUnit).
  uint64_t unit = 0;
};

struct GetResult {
  KRMD md{};
  int32_t data_length = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // The queue manager's name as created.
  virtual const std::string& Name() const = 0;

  // ---- Definitions ---------------------------------------------------------
  // Defines a local queue; KRRC_OBJECT_ALREADY_EXISTS when the name is taken
  // (unless `replace`, which updates the attributes and keeps the messages).
  virtual int32_t DefineQueue(const QueueAttributes& attributes, bool replace) = 0;
  // Deletes a local queue and its messages. KRRC_OBJECT_IN_USE while it is
  // open somewhere; KRRC_UNKNOWN_OBJECT_NAME when it does not exist.
  virtual int32_t DeleteQueue(const std::string& name) = 0;
  // Finds any queue (local, model, dynamic). A dynamic queue whose creator is
  // dead is swept first and then reported as unknown.
  virtual int32_t LookupQueue(const std::string& name, QueueAttributes* out) = 0;
  virtual int32_t ListQueues(std::vector<QueueInfo>* out) = 0;
  // Removes every message from a queue.
  virtual int32_t ClearQueue(const std::string& name) = 0;

  // ---- Dynamic queues ------------------------------------------------------
  // Creates a temporary dynamic queue from a model's attributes. `pattern` is
  // 1..48 bytes: a trailing '*' is replaced by a unique suffix (the result
  // cut to 48 bytes), "*" alone gives a unique name, no '*' takes the name as
  // it is (KRRC_OBJECT_ALREADY_EXISTS if taken). Writes the name to `name_out`.
  virtual int32_t CreateDynamicQueue(const QueueAttributes& model, const std::string& pattern,
                                     std::string* name_out) = 0;
  // Deletes a dynamic queue this Store created, with its messages.
  virtual int32_t DeleteDynamicQueue(const std::string& name) = 0;

  // ---- Open handle accounting (for listing; also keeps DeleteQueue honest) --
  virtual void NoteOpen(const std::string& name) = 0;
  virtual void NoteClose(const std::string& name) = 0;
  // LookupQueue and, when the queue is found and is not a model queue,
  // NoteOpen: what opening a queue by name needs. A store may do both in one
  // step; every open of a queue (a reply's too) goes through here.
  virtual int32_t LookupAndNoteOpen(const std::string& name, QueueAttributes* out) {
    QueueAttributes local;
    if (!out) out = &local;
    int32_t rc = LookupQueue(name, out);
    if (rc == 0 && out->kind != QueueKind::kModel) NoteOpen(name);
    return rc;
  }

  // ---- Messages ------------------------------------------------------------
  // Puts a message whose descriptor is complete (see Message). Checks the
  // queue's put inhibition, maximum length and depth. A persistent message
  // (md.Persistence == KRPER_PERSISTENT) is on disk when Put returns.
  virtual int32_t Put(const std::string& queue, const Message& message) = 0;
  // Gets (or browses) the first message matching the request; see GetRequest.
  // `cursor` is the handle's browse cursor: read and updated by the browse
  // modes, ignored by kRemove.
  virtual int32_t Get(const std::string& queue, const GetRequest& request, BrowseCursor* cursor,
                      GetResult* result) = 0;

  // ---- Units of work -------------------------------------------------------
  // A unit groups gets (GetRequest::unit) and puts (PutInUnit) of one
  // connection: a message got within it is invisible to every other getter
  // and browser until CommitUnit removes it for good or BackoutUnit puts it
  // back in its place (priority and put order) with md.BackoutCount one
  // higher, persisted; a message put within it is visible only after
  // CommitUnit and discarded by BackoutUnit. Commit is all or nothing for the
  // unit's messages on this store; when it cannot be done the unit is backed
  // out and the answer is KRRC_BACKED_OUT. When the process that made a unit
  // dies in any way, its unit is backed out by whoever calls the store next
  // (a waiting get or browse notices within a fraction of a second). Commit
  // and back-out of an unknown or empty unit succeed with nothing to do.
  // A unit is used by one thread at a time.
  virtual int32_t BeginUnit(uint64_t* unit) = 0;
  // Put (above) within `unit`; unit 0 is a plain Put.
  virtual int32_t PutInUnit(const std::string& queue, const Message& message, uint64_t unit) = 0;
  virtual int32_t CommitUnit(uint64_t unit) = 0;
  virtual int32_t BackoutUnit(uint64_t unit) = 0;

  // A queue's attributes and current depth (messages a get could take now),
  // as ListQueues gives them, for one queue.
  virtual int32_t InquireQueue(const std::string& name, QueueInfo* out) = 0;
};

// ---- Creating stores -------------------------------------------------------

// Opens the embedded store of the queue manager `name` (creating its
// directory, database and model queue when `create`). Returns a reason code;
// *out is set on success.
int32_t OpenEmbeddedStore(const std::string& name, bool create, std::unique_ptr<Store>* out);
// Removes an embedded queue manager's directory. KRRC_OBJECT_IN_USE when a
// process still has it open.
int32_t DestroyEmbeddedStore(const std::string& name);

// The PostgreSQL store (pg_store.cpp): opens, or with `create` initialises,
// the queue manager `name` in the database `conninfo`. A dropped server
// connection gives KRRC_Q_MGR_NOT_AVAILABLE / KRRC_CONNECTION_BROKEN; the next
// call tries to connect again. When the library is built without libpq this
// returns KRRC_Q_MGR_NOT_AVAILABLE.
int32_t OpenPgStore(const std::string& name, const std::string& conninfo, bool create,
                    std::unique_ptr<Store>* out);
// Drops a PostgreSQL queue manager's objects and messages.
// Build note: platform/queue/CMakeLists.txt compiles pg_store.cpp (linking
// libpq) when that file exists, and otherwise pg_store_absent.cpp, whose two
// functions answer KRRC_Q_MGR_NOT_AVAILABLE.
int32_t DestroyPgStore(const std::string& name, const std::string& conninfo);

}  // namespace krsoap::queue
