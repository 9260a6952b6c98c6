// The C entry points of a binding library: libkrm.so (server bindings,
// compiled with KRSOAP_SERVER_BINDINGS, which adds zrtKRCONN) and libkrcl.so
// (client bindings). Both forward to the same core, so both reach the same
// queue managers; each library keeps its own handles.
#include "common/queue/krqueue.h"
#include "platform/queue/queue_api.h"

namespace api = krsoap::queue::api;

extern "C" {

KRENTRY void KRCONN(const KRCHAR* QMgrName, KRHCONN* Hconn, KRLONG* CompCode, KRLONG* Reason) {
  api::Conn(QMgrName, Hconn, CompCode, Reason);
}

#ifdef KRSOAP_SERVER_BINDINGS
KRENTRY void zrtKRCONN(const KRCHAR* QMgrName, KRHCONN* Hconn, KRLONG* CompCode, KRLONG* Reason) {
  api::Conn(QMgrName, Hconn, CompCode, Reason);
}
#endif

KRENTRY void KROPEN(KRHCONN Hconn, KROD* ObjDesc, KRLONG Options, KRHOBJ* Hobj, KRLONG* CompCode,
                    KRLONG* Reason) {
  api::Open(Hconn, ObjDesc, Options, Hobj, CompCode, Reason);
}

KRENTRY void KRPUT(KRHCONN Hconn, KRHOBJ Hobj, KRMD* MsgDesc, KRPMO* PutMsgOpts, KRLONG BufferLength,
                   void* Buffer, KRLONG* CompCode, KRLONG* Reason) {
  api::Put(Hconn, Hobj, MsgDesc, PutMsgOpts, BufferLength, Buffer, CompCode, Reason);
}

KRENTRY void KRGET(KRHCONN Hconn, KRHOBJ Hobj, KRMD* MsgDesc, KRGMO* GetMsgOpts, KRLONG BufferLength,
                   void* Buffer, KRLONG* DataLength, KRLONG* CompCode, KRLONG* Reason) {
  api::Get(Hconn, Hobj, MsgDesc, GetMsgOpts, BufferLength, Buffer, DataLength, CompCode, Reason);
}

KRENTRY void KRCLOSE(KRHCONN Hconn, KRHOBJ* Hobj, KRLONG Options, KRLONG* CompCode, KRLONG* Reason) {
  api::Close(Hconn, Hobj, Options, CompCode, Reason);
}

KRENTRY void KRDISC(KRHCONN* Hconn, KRLONG* CompCode, KRLONG* Reason) { api::Disc(Hconn, CompCode, Reason); }

KRENTRY void KRCMIT(KRHCONN Hconn, KRLONG* CompCode, KRLONG* Reason) { api::Cmit(Hconn, CompCode, Reason); }

KRENTRY void KRBACK(KRHCONN Hconn, KRLONG* CompCode, KRLONG* Reason) { api::Back(Hconn, CompCode, Reason); }

KRENTRY void KRINQ(KRHCONN Hconn, KRHOBJ Hobj, KRLONG SelectorCount, const KRLONG* Selectors,
                   KRLONG IntAttrCount, KRLONG* IntAttrs, KRLONG CharAttrLength, KRCHAR* CharAttrs,
                   KRLONG* CompCode, KRLONG* Reason) {
  api::Inq(Hconn, Hobj, SelectorCount, Selectors, IntAttrCount, IntAttrs, CharAttrLength, CharAttrs, CompCode,
           Reason);
}

}  // extern "C"
