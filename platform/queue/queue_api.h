// The queue-manager calls as C++ functions of the core library. The
// binding libraries (libkrm.so, libkrcl.so) export them under their C names;
// the krsoap tool and the tests call them here directly.
//
// Each process keeps one pool of opened queue managers (stores) for its whole
// life, so a connect to a queue manager the process has used before costs a
// handle, not a store connection. Handles are the pool's own: a 16-bit slot
// and a generation, validated on every call; closed, forged and foreign
// handles give KRRC_HCONN_ERROR / KRRC_HOBJ_ERROR. Calls on one object handle
// from several threads run one after another.
#pragma once

#include "common/queue/krqueue.h"

namespace krsoap::queue::api {

void Conn(const KRCHAR* name, KRHCONN* hconn, KRLONG* cc, KRLONG* reason);
void Open(KRHCONN hconn, KROD* od, KRLONG options, KRHOBJ* hobj, KRLONG* cc, KRLONG* reason);
void Put(KRHCONN hconn, KRHOBJ hobj, KRMD* md, KRPMO* pmo, KRLONG length, void* buffer, KRLONG* cc,
         KRLONG* reason);
void Get(KRHCONN hconn, KRHOBJ hobj, KRMD* md, KRGMO* gmo, KRLONG length, void* buffer, KRLONG* data_length,
         KRLONG* cc, KRLONG* reason);
void Close(KRHCONN hconn, KRHOBJ* hobj, KRLONG options, KRLONG* cc, KRLONG* reason);
void Disc(KRHCONN* hconn, KRLONG* cc, KRLONG* reason);
// Units of work (krqueue.h): commit and back-out of the connection's unit.
void Cmit(KRHCONN hconn, KRLONG* cc, KRLONG* reason);
void Back(KRHCONN hconn, KRLONG* cc, KRLONG* reason);
// Attribute inquiry on a handle opened with KROO_INQUIRE.
void Inq(KRHCONN hconn, KRHOBJ hobj, KRLONG selector_count, const KRLONG* selectors, KRLONG int_count,
         KRLONG* ints, KRLONG char_length, KRCHAR* chars, KRLONG* cc, KRLONG* reason);

// Drops the cached name resolution of every queue manager (administration
// calls it after creating or deleting one).
void ForgetResolutions();

}  // namespace krsoap::queue::api
