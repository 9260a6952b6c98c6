// halvex's four interfaces called through proxies in this process on real
// objects in a host child process, each result compared with the same call
// made directly on an object of the same class here: same HRESULTs, same
// [out] values. Also the IDispatch part of each interface, marshalled by
// the generic IDispatch marshaller.
#include <string>

#include "halvex.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/rpc/rpc.h"
#include "platform/com/variant.h"
#include "tests/com_rpc/rpc_test_util.h"

namespace krsoap::test {
namespace {

namespace rpc = krsoap::com::rpc;

struct Bstr {
  explicit Bstr(const std::string& text) : value(krsoap::com::AllocBstrFromUtf8(text)) {}
  ~Bstr() { SysFreeString(value); }
  operator BSTR() const { return value; }
  BSTR value;
};

std::string Text(BSTR b) { return b ? krsoap::com::BstrToUtf8(b) : std::string("<null>"); }

template <class T>
struct Ptr {
  T* p = nullptr;
  ~Ptr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** out() { return reinterpret_cast<void**>(&p); }
};

class HalvexRemote : public RpcEnvironment {
 protected:
  void SetUp() override {
    RpcEnvironment::SetUp();
    std::string said;
    ASSERT_TRUE(host_.Start(Socket(),
                            {"monitor=Halvex.KRSoapMonitor", "handler=Halvex.KRSoapHandler",
                             "invoker=Halvex.KRSoapInvoker", "trigger=Halvex.KRObjectTrigger"},
                            &said))
        << said;
  }
  void TearDown() override {
    host_.Stop();
    RpcEnvironment::TearDown();
  }
  template <class T>
  void Direct(const wchar_t*, const char16_t* progid, Ptr<T>* out) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(progid, &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, KrIidOf<T>::value, out->out()), S_OK);
  }
  template <class T>
  void Remote(const std::string& name, Ptr<T>* out) {
    ASSERT_EQ(rpc::ConnectToObject(Socket(), name, KrIidOf<T>::value, out->out()), S_OK);
  }

  HostProcess host_;
};

TEST_F(HalvexRemote, MonitorMethodsGiveWhatDirectCallsGive) {
  Ptr<IKRSoapMonitor> direct, remote;
  Direct(nullptr, u"Halvex.KRSoapMonitor", &direct);
  Remote("monitor", &remote);
  auto both = [&](auto call) {
    auto a = call(direct.p);
    auto b = call(remote.p);
    EXPECT_EQ(a, b);
    return a;
  };
  // CanReuseObject: the default, then each value put.
  both([](IKRSoapMonitor* m) {
    LONG v = -7;
    HRESULT hr = m->get_CanReuseObject(&v);
    return std::make_pair(hr, v);
  });
  for (LONG value : {0L, 1L, 42L}) {
    both([value](IKRSoapMonitor* m) {
      HRESULT put = m->put_CanReuseObject(value);
      LONG v = -7;
      HRESULT get = m->get_CanReuseObject(&v);
      return std::make_tuple(put, get, v);
    });
  }
  // Init with files that are not there, then with text that is not a path.
  for (const char* wsdl : {"/nonexistent/a.wsdl", ""}) {
    both([&](IKRSoapMonitor* m) {
      LONG rc = -7;
      HRESULT hr = m->Init(Bstr(wsdl), Bstr("/nonexistent/a.wsml"), &rc);
      return std::make_pair(hr, rc);
    });
  }
  // The status of a monitor that never started: [out] Threads and the rc.
  const std::string status = home() + "/status.txt";
  both([&](IKRSoapMonitor* m) {
    LONG threads = -7, rc = -7;
    HRESULT hr = m->GetMonitorStatus(Bstr(status), &threads, &rc);
    return std::make_tuple(hr, threads, rc);
  });
  // Stop before Start; Start on a queue manager that does not exist; Stop.
  both([](IKRSoapMonitor* m) {
    LONG rc = -7;
    HRESULT hr = m->Stop(&rc);
    return std::make_pair(hr, rc);
  });
  both([](IKRSoapMonitor* m) {
    LONG rc = -7;
    HRESULT hr = m->Start(Bstr("NO.SUCH.QM"), Bstr("Q"), Bstr("Halvex.KRObjectTrigger"), Bstr(""), &rc);
    LONG stop_rc = -7;
    HRESULT stop = m->Stop(&stop_rc);
    return std::make_tuple(hr, rc, stop, stop_rc);
  });
}

TEST_F(HalvexRemote, MonitorIdentityAndQueryInterfaceFollowTheObject) {
  Ptr<IKRSoapMonitor> remote;
  Remote("monitor", &remote);
  Ptr<IUnknown> unk1, unk2;
  ASSERT_EQ(remote->QueryInterface(IID_IUnknown, unk1.out()), S_OK);
  Ptr<IDispatch> disp;
  // Plain IDispatch, through the built-in IDispatch proxy: same identity,
  // and its calls reach the monitor.
  ASSERT_EQ(remote->QueryInterface(IID_IDispatch, disp.out()), S_OK);
  Ptr<IUnknown> via_dispatch;
  ASSERT_EQ(disp->QueryInterface(IID_IUnknown, via_dispatch.out()), S_OK);
  EXPECT_EQ(via_dispatch.p, unk1.p);
  const char16_t* name = u"CanReuseObject";
  DISPID id = 0;
  EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, 0, &id), S_OK);
  EXPECT_EQ(id, 5);
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(disp->Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  ASSERT_EQ(unk1->QueryInterface(IID_IUnknown, unk2.out()), S_OK);
  EXPECT_EQ(unk1.p, unk2.p);
  Ptr<IKRSoapHandler> handler;
  EXPECT_EQ(remote->QueryInterface(IID_IKRSoapHandler, handler.out()), E_NOINTERFACE);
  Ptr<IKRSoapMonitor> again;
  ASSERT_EQ(unk1->QueryInterface(IID_IKRSoapMonitor, again.out()), S_OK);
  EXPECT_EQ(again.p, remote.p);
}

TEST_F(HalvexRemote, MonitorDispatchPartTravels) {
  Ptr<IKRSoapMonitor> direct, remote;
  Direct(nullptr, u"Halvex.KRSoapMonitor", &direct);
  Remote("monitor", &remote);
  for (IKRSoapMonitor* m : {direct.p, remote.p}) {
    SCOPED_TRACE(m == direct.p ? "direct" : "remote");
    UINT count = 9;
    EXPECT_EQ(m->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    const char16_t* names[] = {u"CanReuseObject", u"Start", u"GetMonitorStatus", u"NoSuchName"};
    const DISPID expected[] = {5, 1, 4};
    for (int i = 0; i < 3; ++i) {
      DISPID id = 0;
      LPOLESTR name = const_cast<LPOLESTR>(names[i]);
      EXPECT_EQ(m->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
      EXPECT_EQ(id, expected[i]);
    }
    DISPID id = 0;
    LPOLESTR bad = const_cast<LPOLESTR>(names[3]);
    EXPECT_EQ(m->GetIDsOfNames(IID_NULL, &bad, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);

    // put CanReuseObject = 3 (named DISPID_PROPERTYPUT), get it back.
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 3;
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &put_id, 1, 1};
    EXPECT_EQ(m->Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr), S_OK);
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(m->Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 3);

    // GetMonitorStatus(file, [out] Threads by reference) with the rc as result.
    Bstr file(home() + "/status-dispatch.txt");
    LONG threads = -5;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[0].vt = VT_I4 | VT_BYREF;
    args[0].plVal = &threads;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = file;
    DISPPARAMS call{args, nullptr, 2, 0};
    VariantInit(&result);
    EXPECT_EQ(m->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &call, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(threads, 0);
    EXPECT_EQ(result.vt, VT_I4);

    // A type mismatch names the argument; an unknown member fails as such.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    Bstr not_number("not a number");
    text.bstrVal = not_number;
    DISPPARAMS mismatch{&text, &put_id, 1, 1};
    UINT arg_err = 77;
    EXCEPINFO ei{};
    EXPECT_EQ(m->Invoke(5, IID_NULL, 0, DISPATCH_PROPERTYPUT, &mismatch, nullptr, &ei, &arg_err), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err, 0u);
    EXPECT_EQ(m->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  }
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(remote->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  EXPECT_EQ(info, nullptr);
}

TEST_F(HalvexRemote, HandlerPropertiesGiveWhatDirectCallsGive) {
  Ptr<IKRSoapHandler> direct, remote;
  Direct(nullptr, u"Halvex.KRSoapHandler", &direct);
  Remote("handler", &remote);
  auto get = [](IKRSoapHandler* h, HRESULT (IKRSoapHandler::*getter)(BSTR*)) {
    BSTR b = nullptr;
    HRESULT hr = (h->*getter)(&b);
    std::string text = Text(b);
    SysFreeString(b);
    return std::make_pair(hr, text);
  };
  auto both = [&](auto call) {
    auto a = call(direct.p);
    auto b = call(remote.p);
    EXPECT_EQ(a, b);
  };
  // Fresh objects: every getter, ErrorCode included.
  for (auto getter : {&IKRSoapHandler::get_ErrorDescription, &IKRSoapHandler::get_SoapRequest,
                      &IKRSoapHandler::get_SoapResponse, &IKRSoapHandler::get_QueueManager,
                      &IKRSoapHandler::get_Queue}) {
    both([&](IKRSoapHandler* h) { return get(h, getter); });
  }
  both([](IKRSoapHandler* h) {
    LONG code = -7;
    HRESULT hr = h->get_ErrorCode(&code);
    return std::make_pair(hr, code);
  });
  // The puts, read back; a name with characters outside ASCII.
  both([&](IKRSoapHandler* h) {
    HRESULT a = h->put_QueueManager(Bstr("NO.SUCH.QM"));
    HRESULT b = h->put_Queue(Bstr("Q\u00e9.\u4e2d"));
    HRESULT c = h->put_SoapAction(Bstr("urn:action"));
    return std::make_tuple(a, b, c, get(h, &IKRSoapHandler::get_QueueManager), get(h, &IKRSoapHandler::get_Queue));
  });
  // SoapAction on a queue manager that does not exist: whatever the handler
  // makes of it, the proxy reports the same, with the error properties.
  both([&](IKRSoapHandler* h) {
    auto action = get(h, &IKRSoapHandler::get_SoapAction);
    LONG code = -7;
    HRESULT hr = h->get_ErrorCode(&code);
    return std::make_tuple(action, hr, code, get(h, &IKRSoapHandler::get_ErrorDescription));
  });
}

TEST_F(HalvexRemote, InvokerAndTriggerExecuteGiveWhatDirectCallsGive) {
  Ptr<IKRSoapInvoker> direct_invoker, remote_invoker;
  Direct(nullptr, u"Halvex.KRSoapInvoker", &direct_invoker);
  Remote("invoker", &remote_invoker);
  // IKRSoapInvoker has only IDispatch's methods.
  for (IKRSoapInvoker* inv : {direct_invoker.p, remote_invoker.p}) {
    UINT count = 0;
    EXPECT_EQ(inv->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
  }
  // The invoker's second vtable, IKRObjectTrigger, reached through QueryInterface.
  Ptr<IKRObjectTrigger> direct_exec, remote_exec;
  ASSERT_EQ(direct_invoker->QueryInterface(IID_IKRObjectTrigger, direct_exec.out()), S_OK);
  ASSERT_EQ(remote_invoker->QueryInterface(IID_IKRObjectTrigger, remote_exec.out()), S_OK);
  auto execute = [&](IKRObjectTrigger* t) {
    LONG result = -7;
    HRESULT hr = t->Execute(Bstr("NO.SUCH.QM"), Bstr("Q"), Bstr(home() + "/none.wsdl"), Bstr(home() + "/none.wsml"),
                            Bstr("param"), &result);
    return std::make_pair(hr, result);
  };
  EXPECT_EQ(execute(direct_exec.p), execute(remote_exec.p));

  // The inert trigger returns S_OK and leaves Result unwritten. Through a
  // proxy an unwritten [out] arrives as zero: the stub hands the callee
  // zeroed storage, as the Windows marshaller does.
  Ptr<IKRObjectTrigger> direct, remote;
  Direct(nullptr, u"Halvex.KRObjectTrigger", &direct);
  Remote("trigger", &remote);
  EXPECT_EQ(execute(direct.p), std::make_pair(S_OK, LONG{-7}));
  EXPECT_EQ(execute(remote.p), std::make_pair(S_OK, LONG{0}));
  for (IKRObjectTrigger* t : {direct.p, remote.p}) {
    const char16_t* name = u"Execute";
    DISPID id = 0;
    EXPECT_EQ(t->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, 0, &id), S_OK);
    EXPECT_EQ(id, 1);
  }
}

TEST_F(HalvexRemote, ListObjectsNamesThePublishedObjectsInOrder) {
  std::vector<std::string> names;
  ASSERT_EQ(rpc::ListObjects(Socket(), &names), S_OK);
  EXPECT_EQ(names, (std::vector<std::string>{"monitor", "handler", "invoker", "trigger"}));
  void* p = nullptr;
  EXPECT_EQ(rpc::ConnectToObject(Socket(), "nobody", IID_IKRSoapMonitor, &p), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(rpc::ConnectToObject(Socket(), "handler", IID_IKRSoapMonitor, &p), E_NOINTERFACE);
  EXPECT_EQ(rpc::ConnectToObject(Socket(), "", IID_IKRSoapMonitor, &p), E_INVALIDARG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(rpc::ConnectToObject(home() + "/run/none.sock", "monitor", IID_IKRSoapMonitor, &p),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace krsoap::test
