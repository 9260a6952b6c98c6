// CKRObjectTrigger: the implementation of coclass KRObjectTrigger, the inert
// trigger class. Its Execute does nothing and succeeds; it serves as a
// placeholder trigger and as the simplest implementation of the contract.
#pragma once

#include "halvex.h"
#include "platform/com/server.h"

namespace krsoap::halvex {

class CKRObjectTrigger : public krsoap::com::ObjectRoot,
                         public krsoap::com::DispatchImpl<IKRObjectTrigger, &LIBID_HALVEXLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRObjectTrigger)
    KR_INTERFACE_ENTRY(IKRObjectTrigger)
    KR_INTERFACE_ENTRY2(IDispatch, IKRObjectTrigger)
  KR_END_INTERFACE_MAP()

  // Leaves Result as the caller set it.
  HRESULT Execute(BSTR, BSTR, BSTR, BSTR, BSTR, LONG*) override { return S_OK; }
};

}  // namespace krsoap::halvex
