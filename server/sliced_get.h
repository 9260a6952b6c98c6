// sliced_get.h - a waiting get cut into short slices, so that the thread in
// it answers a stop within a slice instead of at the end of the whole wait.
// The queue manager has no way to cancel a get from another thread. A get
// that finds nothing leaves the descriptor and the browse cursor as they were,
// so each slice asks the same.
#pragma once

#include "common/queue/krqueue.h"

namespace krsoap::halvex {

constexpr KRLONG kStopSliceMs = 500;

// KRGET with gmo->WaitInterval (negative: without limit) spent in slices;
// after each slice that found nothing, `stopping()` may end the wait, which
// then reports KRRC_NO_MSG_AVAILABLE as a wait that ran out would.
template <class Stopping>
void GetInSlices(KRHCONN hconn, KRHOBJ hobj, KRMD* md, KRGMO* gmo, KRLONG length, void* buffer,
                 KRLONG* data_length, KRLONG* cc, KRLONG* reason, Stopping&& stopping) {
  KRLONG left = gmo->WaitInterval;
  for (;;) {
    const KRLONG slice = left < 0 || left > kStopSliceMs ? kStopSliceMs : left;
    gmo->WaitInterval = slice;
    KRGET(hconn, hobj, md, gmo, length, buffer, data_length, cc, reason);
    if (*reason != KRRC_NO_MSG_AVAILABLE || slice == left || stopping()) return;
    if (left > 0) left -= slice;
  }
}

}  // namespace krsoap::halvex
