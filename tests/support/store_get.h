// One destructive get from a store, for tests that only want the body of the
// next message (or the reason there is none).
#pragma once

#include <cstdint>
#include <string>

#include "common/queue/krqueue.h"
#include "platform/queue/store.h"

namespace krsoap::test {

// Gets the next message of queue `q`, waiting up to `wait_ms`, into a buffer
// of `buffer_length` bytes; on success its body goes to *body (when given).
// The store's reason code.
inline int32_t GetOne(krsoap::queue::Store* s, const std::string& q, std::string* body, int32_t wait_ms = 0,
                      int32_t buffer_length = 8192) {
  std::string buf(static_cast<size_t>(buffer_length), '\0');
  krsoap::queue::GetRequest r;
  r.wait_ms = wait_ms;
  r.buffer = buf.data();
  r.buffer_length = buffer_length;
  krsoap::queue::GetResult out;
  int32_t rc = s->Get(q, r, nullptr, &out);
  if (rc == KRRC_NONE && body) body->assign(buf.data(), static_cast<size_t>(out.data_length));
  return rc;
}

}  // namespace krsoap::test
