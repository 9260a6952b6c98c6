// The two kinds of connector logic: CKRBaseClientConn reaches a remote queue
// manager through the client bindings library, CKRBaseServerConn the local
// queue manager through the server bindings library. Each loads its library
// at run time, resolves the six queue-manager entry points by name and keeps
// the library loaded while any connector of its kind exists; the handle and
// the count of each kind are process-wide and guarded by a lock of their own,
// so connectors may be made and destroyed on several threads at once.
#pragma once

#include "client/base_conn.h"

namespace krsoap::corvel {

// The process-wide state of one bindings kind; for tests and diagnostics.
struct BindingsState {
  bool loaded;  // the library is loaded
  int count;    // live connectors of the kind
};
BindingsState ClientBindingsState();
BindingsState ServerBindingsState();

class CKRBaseClientConn final : public CKRBaseConn {
 public:
  CKRBaseClientConn();
  ~CKRBaseClientConn() override;
  HRESULT ConnectToQM() override;
};

class CKRBaseServerConn final : public CKRBaseConn {
 public:
  CKRBaseServerConn();
  ~CKRBaseServerConn() override;
  HRESULT ConnectToQM() override;
};

}  // namespace krsoap::corvel
