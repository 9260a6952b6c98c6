// Fixture of the handler and invoker tests: halvex and the DOM module
// registered in a throwaway data root, an embedded queue manager with a
// request queue and a reply queue, and helpers to put requests and take
// replies through the queue calls of libkrm.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/queue/krqueue.h"
#include "halvex.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/store.h"
#include "tests/support/queue_manager_test.h"
#include "tests/support/shell.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {

namespace q = krsoap::queue;

inline constexpr char kEnvNs[] = "http://schemas.xmlsoap.org/soap/envelope/";

// A request envelope whose Header carries `action` as prefix:SoapAction.
inline std::string Envelope(const std::string& action, const std::string& prefix = "SOAP-ENV",
                            const std::string& body = "<m:Add xmlns:m=\"urn:calc\"><a>1</a><b>2</b></m:Add>") {
  std::string s = "<" + prefix + ":Envelope xmlns:" + prefix + "=\"" + kEnvNs + "\"><" + prefix + ":Header>";
  if (!action.empty()) s += "<" + prefix + ":SoapAction>" + action + "</" + prefix + ":SoapAction>";
  s += "</" + prefix + ":Header><" + prefix + ":Body>" + body + "</" + prefix + ":Body></" + prefix + ":Envelope>";
  return s;
}

inline std::string Response(const std::string& text = "3") {
  return "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
         "<m:AddResponse xmlns:m=\"urn:calc\"><Result>" +
         text + "</Result></m:AddResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

struct Message {
  KRLONG reason = -1;
  KRMD md = KRMD_DEFAULT;
  std::string body;
};

class HandlerTest : public QueueManagerTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrxml.so"));
    ASSERT_EQ(S_OK, RegisterModule("libhalvex.so"));
    MakeQueueManager("HANDLER.TEST");
    Define(request_q_);
    Define(reply_q_);
  }

  // Puts a request the way a client does; returns its message id.
  // `reply_qm` empty: the reply goes to this fixture's queue manager.
  std::string PutRequest(const std::string& body, const std::string& reply_to = "REPLY",
                         const std::string& queue = "REQUEST", const std::string& reply_qm = "") {
    const std::string& reply_to_qm = reply_qm.empty() ? qm_ : reply_qm;
    KRHCONN hc = 0;
    KRLONG cc = 0, rc = 0;
    KRCONN(qm_.c_str(), &hc, &cc, &rc);
    EXPECT_EQ(KRRC_NONE, rc);
    KROD od = KROD_DEFAULT;
    std::memcpy(od.ObjectName, queue.data(), std::min<size_t>(queue.size(), KR_Q_NAME_LENGTH));
    KRHOBJ ho = 0;
    KROPEN(hc, &od, KROO_OUTPUT, &ho, &cc, &rc);
    EXPECT_EQ(KRRC_NONE, rc);
    KRMD md = KRMD_DEFAULT;
    md.MsgType = KRMT_REQUEST;
    std::memcpy(md.Format, KRFMT_STRING, KR_FORMAT_LENGTH);
    std::memset(md.ReplyToQ, ' ', KR_Q_NAME_LENGTH);
    std::memcpy(md.ReplyToQ, reply_to.data(), std::min<size_t>(reply_to.size(), KR_Q_NAME_LENGTH));
    std::memset(md.ReplyToQMgr, ' ', KR_Q_MGR_NAME_LENGTH);
    std::memcpy(md.ReplyToQMgr, reply_to_qm.data(), std::min<size_t>(reply_to_qm.size(), KR_Q_MGR_NAME_LENGTH));
    KRPMO pmo = KRPMO_DEFAULT;
    KRPUT(hc, ho, &md, &pmo, static_cast<KRLONG>(body.size()), const_cast<char*>(body.data()), &cc, &rc);
    EXPECT_EQ(KRRC_NONE, rc);
    KRCLOSE(hc, &ho, KRCO_NONE, &cc, &rc);
    KRDISC(&hc, &cc, &rc);
    return std::string(reinterpret_cast<const char*>(md.MsgId), KR_MSG_ID_LENGTH);
  }

  // Takes the next message of `queue` (no wait), optionally by correlation id.
  Message Take(const std::string& queue, const std::string& correl_id = "") { return TakeFrom(qm_, queue, correl_id); }

  // The same on the queue manager `qm`; a failed connect or open is the
  // message's reason.
  static Message TakeFrom(const std::string& qm, const std::string& queue, const std::string& correl_id) {
    Message m;
    KRHCONN hc = 0;
    KRLONG cc = 0, rc = 0;
    KRCONN(qm.c_str(), &hc, &cc, &m.reason);
    if (m.reason != KRRC_NONE) return m;
    KROD od = KROD_DEFAULT;
    std::memcpy(od.ObjectName, queue.data(), std::min<size_t>(queue.size(), KR_Q_NAME_LENGTH));
    KRHOBJ ho = 0;
    KROPEN(hc, &od, KROO_INPUT_AS_Q_DEF, &ho, &cc, &m.reason);
    if (m.reason == KRRC_NONE) {
      if (!correl_id.empty()) std::memcpy(m.md.CorrelId, correl_id.data(), KR_CORREL_ID_LENGTH);
      KRGMO gmo = KRGMO_DEFAULT;
      std::string buffer(1 << 20, '\0');
      KRLONG len = 0;
      KRGET(hc, ho, &m.md, &gmo, static_cast<KRLONG>(buffer.size()), buffer.data(), &len, &cc, &m.reason);
      if (m.reason == KRRC_NONE) m.body.assign(buffer.data(), static_cast<size_t>(len));
      KRCLOSE(hc, &ho, KRCO_NONE, &cc, &rc);
    }
    KRDISC(&hc, &cc, &rc);
    return m;
  }

  static std::string CorrelOf(const Message& m) {
    return std::string(reinterpret_cast<const char*>(m.md.CorrelId), KR_CORREL_ID_LENGTH);
  }

  HRESULT NewHandler(Ptr<IKRSoapHandler>* out) {
    return CoCreateInstance(CLSID_KRSoapHandler, nullptr, CLSCTX_ALL, IID_IKRSoapHandler, out->OutVoid());
  }
  // A handler pointed at this fixture's request queue.
  void NewBoundHandler(Ptr<IKRSoapHandler>* out, const std::string& queue = "REQUEST") {
    ASSERT_EQ(S_OK, NewHandler(out));
    Bstr qm(qm_), q(queue);
    ASSERT_EQ(S_OK, (*out)->put_QueueManager(qm.get()));
    ASSERT_EQ(S_OK, (*out)->put_Queue(q.get()));
  }
  static std::string Action(IKRSoapHandler* h) {
    Bstr a;
    EXPECT_EQ(S_OK, h->get_SoapAction(a.Out()));
    return a.Utf8();
  }
  static LONG ErrorCode(IKRSoapHandler* h) {
    LONG code = -1;
    EXPECT_EQ(S_OK, h->get_ErrorCode(&code));
    return code;
  }
  // Reads the whole request through IStream::Read in pieces of `piece`.
  static std::string ReadAll(IStream* s, ULONG piece = 100) {
    std::string all;
    std::string buf(piece, '\0');
    for (int guard = 0; guard < 100000; ++guard) {
      ULONG n = 0;
      HRESULT hr = s->Read(buf.data(), piece, &n);
      all.append(buf.data(), n);
      if (hr != S_OK || n == 0) break;
    }
    return all;
  }
  static HRESULT WriteText(IStream* s, const std::string& text) {
    ULONG written = 0;
    HRESULT hr = s->Write(text.data(), static_cast<ULONG>(text.size()), &written);
    EXPECT_EQ(text.size(), written);
    return hr;
  }

  std::string request_q_ = "REQUEST";
  std::string reply_q_ = "REPLY";
};

}  // namespace krsoap::test
