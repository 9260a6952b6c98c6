// pg_store.h - the PostgreSQL store of a queue manager: queues and messages
// kept in a PostgreSQL database that queue managers on several machines can
// share. The Store interface (store.h) is the whole of its contract; this
// header only names the class for the factory and for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <map>
#include <unordered_map>

#include "platform/queue/pg_conn.h"
#include "platform/queue/store.h"

namespace krsoap::queue::pg {

class PgWakeBoard;

class PgStore final : public Store {
 public:
  PgStore(std::string name, std::shared_ptr<PgPool> pool);
  ~PgStore() override;

  const std::string& Name() const override { return name_; }
  int32_t DefineQueue(const QueueAttributes& attributes, bool replace) override;
  int32_t DeleteQueue(const std::string& name) override;
  int32_t LookupQueue(const std::string& name, QueueAttributes* out) override;
  int32_t ListQueues(std::vector<QueueInfo>* out) override;
  int32_t ClearQueue(const std::string& name) override;
  int32_t CreateDynamicQueue(const QueueAttributes& model, const std::string& pattern,
                             std::string* name_out) override;
  int32_t DeleteDynamicQueue(const std::string& name) override;
  void NoteOpen(const std::string& name) override;
  void NoteClose(const std::string& name) override;
  int32_t Put(const std::string& queue, const Message& message) override;
  int32_t Get(const std::string& queue, const GetRequest& request, BrowseCursor* cursor,
              GetResult* result) override;
  int32_t BeginUnit(uint64_t* unit) override;
  int32_t PutInUnit(const std::string& queue, const Message& message, uint64_t unit) override;
  int32_t CommitUnit(uint64_t unit) override;
  int32_t BackoutUnit(uint64_t unit) override;
  int32_t InquireQueue(const std::string& name, QueueInfo* out) override;

  // The key that marks what this store object owns (for tests).
  int64_t owner_key() const { return owner_key_; }

 private:
  // Runs one statement on a pooled connection (after `first` in the same
  // transaction, when given), retrying a serialization failure or deadlock;
  // maps failures to reason codes.
  int32_t Run(const PgStatement& st, const std::vector<PgParam>& params, PgResult* out,
              const PgStatement* first = nullptr);
  // Makes sure the owner connection is up and holds the owner lock.
  int32_t EnsureOwner();
  int32_t EndUnit(uint64_t unit, bool commit);
  // Queue ids seen by earlier calls: only a hint for choosing a connection.
  int64_t CachedQueueId(const std::string& name);
  void NoteQueueId(const std::string& name, int64_t id);
  void ForgetQueueId(const std::string& name);
  // The machine's wake board for this store's puts and gets: the one of the
  // data root and connection string, found at the store's first use in this
  // process (a forked child finds its own). Null: none could be made.
  PgWakeBoard* Wakes();

  const std::string name_;
  const std::shared_ptr<PgPool> pool_;
  const int64_t owner_key_;
  std::mutex owner_mu_;
  std::unique_ptr<PgConn> owner_;
  pid_t owner_pid_ = 0;  // the process whose connection owner_ is
  uint64_t owner_generation_ = 0;  // counts owner connections made
  // Open units of work, with the owner connection each began under: rows of
  // a unit are marked with owner_key_, and its lock on that key, held by
  // owner_, is what keeps them from being backed out by other sessions.
  uint64_t last_unit_ = 0;
  std::map<uint64_t, uint64_t> units_;
  std::mutex ids_mu_;
  std::unordered_map<std::string, int64_t> ids_;
  PgWakeBoard* wakes_ = nullptr;
  pid_t wakes_pid_ = 0;  // the process wakes_ was found in
};

}  // namespace krsoap::queue::pg
