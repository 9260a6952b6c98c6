// Fixture of the connector tests: corvel, the DOM and the toolkit registered
// in a throwaway data root, a fresh embedded queue manager with two request
// queues, and a responder thread that plays the service: it takes requests
// off a queue and answers each on its reply-to queue, correlated with its
// message id.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/queue/krqueue.h"
#include "corvel.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"
#include "tests/support/queue_manager_test.h"
#include "tests/support/shell.h"
#include "soaptoolkit.h"
#include "tests/xml/toolkit_test_util.h"
#include "xmldom.h"

namespace krsoap::test {

// A 48-byte name field of a record, as it is.
inline std::string Field(const KRCHAR* f) { return std::string(f, KR_Q_NAME_LENGTH); }

struct Served {
  KRLONG reason = -1;
  KRMD md = KRMD_DEFAULT;
  std::string body;
};

// Connects to `qm`, opens `queue` with `options` and runs `call(hconn, hobj)`;
// its reason, or that of the failed connect or open.
template <class Call>
KRLONG OnQueue(const std::string& qm, const std::string& queue, KRLONG options, Call call) {
  KRHCONN hc = 0;
  KRHOBJ ho = 0;
  KRLONG cc = 0, rc = 0, ignored = 0;
  KRCONN(qm.c_str(), &hc, &cc, &rc);
  if (rc != KRRC_NONE) return rc;
  KROD od = KROD_DEFAULT;
  std::memcpy(od.ObjectName, queue.data(), std::min<size_t>(queue.size(), KR_Q_NAME_LENGTH));
  KROPEN(hc, &od, options, &ho, &cc, &rc);
  if (rc == KRRC_NONE) {
    rc = call(hc, ho);
    KRCLOSE(hc, &ho, KRCO_NONE, &cc, &ignored);
  }
  KRDISC(&hc, &cc, &ignored);
  return rc;
}

// Takes the next message of `queue`, waiting up to `wait_ms`.
inline Served TakeMessage(const std::string& qm, const std::string& queue, KRLONG wait_ms = 0) {
  Served m;
  m.reason = OnQueue(qm, queue, KROO_INPUT_AS_Q_DEF, [&](KRHCONN hc, KRHOBJ ho) {
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = wait_ms ? KRGMO_WAIT : KRGMO_NO_WAIT;
    gmo.WaitInterval = wait_ms;
    std::string buffer(1 << 16, '\0');
    KRLONG len = 0, cc = 0, rc = 0;
    KRGET(hc, ho, &m.md, &gmo, static_cast<KRLONG>(buffer.size()), buffer.data(), &len, &cc, &rc);
    if (rc == KRRC_NONE) m.body.assign(buffer.data(), static_cast<size_t>(len));
    return rc;
  });
  return m;
}

// Answers `request` with `body` on its reply-to queue.
inline KRLONG Answer(const std::string& qm, const KRMD& request, const std::string& body) {
  return OnQueue(qm, Field(request.ReplyToQ), KROO_OUTPUT, [&](KRHCONN hc, KRHOBJ ho) {
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REPLY;
    std::memcpy(md.CorrelId, request.MsgId, KR_CORREL_ID_LENGTH);
    KRPMO pmo = KRPMO_DEFAULT;
    KRLONG cc = 0, rc = 0;
    KRPUT(hc, ho, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    return rc;
  });
}

// Serves one request per entry of `replies`, in order, on its own thread.
class Responder {
 public:
  Responder(const std::string& qm, const std::string& queue, std::vector<std::string> replies)
      : thread_([this, qm, queue, replies] {
          for (const std::string& reply : replies) {
            Served s = TakeMessage(qm, queue, 20000);
            if (s.reason == KRRC_NONE) s.reason = Answer(qm, s.md, reply);
            served_.push_back(s);
            if (s.reason != KRRC_NONE) break;
          }
        }) {}
  ~Responder() { Join(); }
  const std::vector<Served>& Join() {
    if (thread_.joinable()) thread_.join();
    return served_;
  }

 private:
  std::vector<Served> served_;
  std::thread thread_;
};

class ClientTest : public QueueManagerTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    for (const char* module : {"libkrxml.so", "libkrsoap.so", "libcorvel.so"}) {
      ASSERT_EQ(S_OK, RegisterModule(module)) << module;
    }
    MakeQueueManager("CLIENT.TEST");
    for (const char* name : {"REQUEST", "Q2"}) Define(name);
    SetReplyWait(20000);
  }

  // Read by each connector when it is made.
  static void SetReplyWait(DWORD ms) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap\\Client", 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"ReplyWait", 0, REG_DWORD, reinterpret_cast<BYTE*>(&ms), 4));
    RegCloseKey(key);
  }

  // A new connector (the caller's reference) with its endpoint and, for the
  // server connector, this test's queue manager as its local one.
  ISoapConnector* Connector(const std::string& url = "krs:REQUEST@", const CLSID& clsid = CLSID_KRServerConnector) {
    ISoapConnector* c = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ISoapConnector, reinterpret_cast<void**>(&c)));
    if (c && IsEqualCLSID(clsid, CLSID_KRServerConnector)) {
      EXPECT_EQ(S_OK, Put(c, "LocalQueueMgr", qm_));
    }
    if (c) {
      EXPECT_EQ(S_OK, Put(c, "EndPointURL", url));
    }
    return c;
  }

  static HRESULT Put(ISoapConnector* c, const std::string& name, const std::string& value) {
    Bstr n(name), v(value);
    VARIANT var;
    VariantInit(&var);
    var.vt = VT_BSTR;
    var.bstrVal = v.get();  // borrowed
    return c->put_Property(n.get(), var);
  }
  // A string or VT_I4 property as text; "<hr>" when the read fails.
  static std::string Get(ISoapConnector* c, const std::string& name) {
    Bstr n(name);
    VARIANT v;
    VariantInit(&v);
    const HRESULT hr = c->get_Property(n.get(), &v);
    std::string text = FAILED(hr) ? "<" + std::to_string(hr) + ">"
                       : v.vt == VT_I4 ? std::to_string(v.lVal)
                                       : com::BstrToUtf8(v.bstrVal);
    VariantClear(&v);
    return text;
  }
  static LONG LastError(ISoapConnector* c) { return std::stol(Get(c, "LastErrorCode")); }

  // Writes `request` into the output stream and ends the message.
  static HRESULT Send(ISoapConnector* c, const std::string& request) {
    Ptr<IUnknown> u;
    Ptr<IStream> out;
    EXPECT_EQ(S_OK, c->get_OutputStream(u.Out()));
    EXPECT_EQ(S_OK, u.As(&out));
    ULONG written = 0;
    if (!request.empty()) {
      EXPECT_EQ(S_OK, out->Write(request.data(), static_cast<ULONG>(request.size()), &written));
    }
    return c->EndMessage();
  }
  // Everything the input stream holds.
  static std::string Received(ISoapConnector* c) {
    Ptr<IUnknown> u;
    Ptr<IStream> in;
    EXPECT_EQ(S_OK, c->get_InputStream(u.Out()));
    EXPECT_EQ(S_OK, u.As(&in));
    std::string all;
    char buf[1000];
    ULONG n = 0;
    while (in && in->Read(buf, sizeof buf, &n) == S_OK && n > 0) all.append(buf, n);
    return all;
  }
};

// An envelope with prefix `p`; `header` is the Header's content, or no
// Header at all when null.
inline std::string Envelope(const std::string& p, const char* header,
                            const std::string& body = "<m:Add xmlns:m=\"urn:calc\"/>") {
  std::string s = "<" + p + ":Envelope xmlns:" + p + "=\"http://schemas.xmlsoap.org/soap/envelope/\">";
  if (header) s += "<" + p + ":Header>" + header + "</" + p + ":Header>";
  return s + "<" + p + ":Body>" + body + "</" + p + ":Body></" + p + ":Envelope>";
}

}  // namespace krsoap::test
