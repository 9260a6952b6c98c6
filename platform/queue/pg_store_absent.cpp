// Stand-in for the PostgreSQL store in builds without libpq: every PostgreSQL
// queue manager is reported unavailable.
#include "platform/queue/store.h"

namespace krsoap::queue {

int32_t OpenPgStore(const std::string&, const std::string&, bool, std::unique_ptr<Store>*) {
  return KRRC_Q_MGR_NOT_AVAILABLE;
}

int32_t DestroyPgStore(const std::string&, const std::string&) { return KRRC_Q_MGR_NOT_AVAILABLE; }

}  // namespace krsoap::queue
