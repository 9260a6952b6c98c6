// A small program the queue tests start as a separate process: it uses the
// queue manager only through the C calls of libkrm.so, as a real client would.
//
//   queue_helper get QM QUEUE WAITMS          takes messages until none comes
//                                             within WAITMS; prints each body
//                                             on its own line
//   queue_helper browse QM QUEUE WAITMS       the same, browsing (first, next)
//   queue_helper backouts QM QUEUE            browses every message; prints
//                                             "BODY COUNT" (its backout count)
//   queue_helper hold-dynamic QM PATTERN      opens the model queue, prints the
//                                             dynamic queue's name, then waits
//                                             for a line on stdin: "close"
//                                             closes and exits, EOF exits
//                                             without closing
//   queue_helper getcorrel QM QUEUE HEX WAITMS  one get by correlation id;
//                                             prints the body
//   queue_helper put QM QUEUE BODY [COUNT]    puts COUNT (1) messages BODY0..
//   queue_helper reply QM QUEUE WAITMS        serves requests: takes each and
//                                             puts it back as a datagram to its
//                                             reply-to queue, correlated by its
//                                             message id
//   queue_helper hold-unit QM OUTQ Q...       in one unit of work: gets one
//                                             message from each Q (waiting up
//                                             to 10 s), puts "unit put" on
//                                             OUTQ, prints the bodies on one
//                                             line, then waits for stdin to
//                                             close (and exits without commit)
// "acked" after the arguments of get or put: each body is printed (and
// flushed) the moment its call has returned, for tests that kill the helper.
// Exit status 0, or the reason code of the failing call modulo 256 (1 when it
// is a multiple of 256).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"

namespace {

bool g_acked = false;

int Exit(const char* what, KRLONG rc) {
  std::fprintf(stderr, "queue_helper: %s: reason %d\n", what, rc);
  int code = rc % 256;
  return code == 0 ? 1 : code;
}

void SetName(char* field, size_t width, const std::string& s) {
  std::memset(field, 0, width);
  std::memcpy(field, s.data(), std::min(s.size(), width));
}

bool ConnOpen(const std::string& qm, const std::string& queue, KRLONG options, KRHCONN* hc, KRHOBJ* ho,
              KRLONG* reason, KROD* od_out = nullptr, const char* pattern = nullptr) {
  KRLONG cc;
  KRCONN(qm.c_str(), hc, &cc, reason);
  if (*reason) return false;
  KROD od = KROD_DEFAULT;
  SetName(od.ObjectName, sizeof od.ObjectName, queue);
  if (pattern) SetName(od.DynamicQName, sizeof od.DynamicQName, pattern);
  KROPEN(*hc, &od, options, ho, &cc, reason);
  if (od_out) *od_out = od;
  return *reason == 0;
}

int Get(const std::string& qm, const std::string& queue, int wait, bool browse, bool counts = false) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  if (!ConnOpen(qm, queue, browse ? KROO_BROWSE : KROO_INPUT_AS_Q_DEF, &hc, &ho, &rc)) return Exit("open", rc);
  std::vector<char> buf(1 << 20);
  bool first = true;
  for (;;) {
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | (browse ? (first ? KRGMO_BROWSE_FIRST : KRGMO_BROWSE_NEXT) : 0);
    gmo.WaitInterval = wait;
    KRLONG len = 0;
    KRGET(hc, ho, &md, &gmo, static_cast<KRLONG>(buf.size()), buf.data(), &len, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE) break;
    if (rc) return Exit("get", rc);
    first = false;
    std::fwrite(buf.data(), 1, static_cast<size_t>(len), stdout);
    if (counts) std::printf(" %d", md.BackoutCount);
    std::fputc('\n', stdout);
    if (g_acked) std::fflush(stdout);
  }
  std::fflush(stdout);
  KRCLOSE(hc, &ho, KRCO_NONE, &cc, &rc);
  KRDISC(&hc, &cc, &rc);
  return 0;
}

int HoldDynamic(const std::string& qm, const std::string& pattern) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  KROD od;
  if (!ConnOpen(qm, "SYSTEM.DEFAULT.MODEL.QUEUE", KROO_INPUT_AS_Q_DEF, &hc, &ho, &rc, &od, pattern.c_str()))
    return Exit("open", rc);
  std::printf("%.*s\n", static_cast<int>(strnlen(od.ObjectName, 48)), od.ObjectName);
  std::fflush(stdout);
  std::string line;
  if (std::getline(std::cin, line) && line == "close") {
    KRCLOSE(hc, &ho, KRCO_NONE, &cc, &rc);
    if (rc) return Exit("close", rc);
    KRDISC(&hc, &cc, &rc);
  }
  return 0;
}

bool ParseHex(const std::string& s, KRBYTE* out, size_t width) {
  std::memset(out, 0, width);
  if (s.size() > width * 2 || s.size() % 2) return false;
  for (size_t i = 0; i < s.size(); i += 2) out[i / 2] = static_cast<KRBYTE>(std::stoi(s.substr(i, 2), nullptr, 16));
  return true;
}

int GetCorrel(const std::string& qm, const std::string& queue, const std::string& hex, int wait) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  if (!ConnOpen(qm, queue, KROO_INPUT_AS_Q_DEF, &hc, &ho, &rc)) return Exit("open", rc);
  KRMD md = KRMD_DEFAULT;
  if (!ParseHex(hex, md.CorrelId, sizeof md.CorrelId)) return 2;
  KRGMO gmo = KRGMO_DEFAULT;
  gmo.Options = KRGMO_WAIT;
  gmo.WaitInterval = wait;
  char buf[65536];
  KRLONG len = 0;
  KRGET(hc, ho, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
  if (rc) return Exit("get", rc);
  std::fwrite(buf, 1, static_cast<size_t>(len), stdout);
  std::fputc('\n', stdout);
  return 0;
}

int Put(const std::string& qm, const std::string& queue, const std::string& body, int count) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  if (!ConnOpen(qm, queue, KROO_OUTPUT, &hc, &ho, &rc)) return Exit("open", rc);
  for (int i = 0; i < count; ++i) {
    KRMD md = KRMD_DEFAULT;
    KRPMO pmo = KRPMO_DEFAULT;
    std::string b = count == 1 ? body : body + std::to_string(i);
    KRPUT(hc, ho, &md, &pmo, static_cast<KRLONG>(b.size()), b.data(), &cc, &rc);
    if (rc) return Exit("put", rc);
    if (g_acked) {
      std::printf("%s\n", b.c_str());
      std::fflush(stdout);
    }
  }
  KRCLOSE(hc, &ho, KRCO_NONE, &cc, &rc);
  KRDISC(&hc, &cc, &rc);
  return 0;
}

int Reply(const std::string& qm, const std::string& queue, int wait) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  if (!ConnOpen(qm, queue, KROO_INPUT_AS_Q_DEF, &hc, &ho, &rc)) return Exit("open", rc);
  char buf[65536];
  for (;;) {
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT;
    gmo.WaitInterval = wait;
    KRLONG len = 0;
    KRGET(hc, ho, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
    if (rc == KRRC_NO_MSG_AVAILABLE) break;
    if (rc) return Exit("get", rc);
    KROD od = KROD_DEFAULT;
    std::memcpy(od.ObjectName, md.ReplyToQ, sizeof od.ObjectName);
    std::memcpy(od.ObjectQMgrName, md.ReplyToQMgr, sizeof od.ObjectQMgrName);
    KRHOBJ out;
    KROPEN(hc, &od, KROO_OUTPUT, &out, &cc, &rc);
    if (rc) return Exit("open reply", rc);
    KRMD rmd = KRMD_DEFAULT;
    std::memcpy(rmd.CorrelId, md.MsgId, sizeof rmd.CorrelId);
    KRPMO pmo = KRPMO_DEFAULT;
    KRPUT(hc, out, &rmd, &pmo, len, buf, &cc, &rc);
    if (rc) return Exit("put reply", rc);
    KRCLOSE(hc, &out, KRCO_NONE, &cc, &rc);
  }
  return 0;
}

int HoldUnit(const std::string& qm, const std::string& out, const std::vector<std::string>& queues) {
  KRHCONN hc;
  KRHOBJ ho;
  KRLONG cc, rc;
  if (!ConnOpen(qm, out, KROO_OUTPUT, &hc, &ho, &rc)) return Exit("open", rc);
  std::string line;
  for (const std::string& q : queues) {
    KROD od = KROD_DEFAULT;
    SetName(od.ObjectName, sizeof od.ObjectName, q);
    KRHOBJ in;
    KROPEN(hc, &od, KROO_INPUT_AS_Q_DEF, &in, &cc, &rc);
    if (rc) return Exit("open", rc);
    KRMD md = KRMD_DEFAULT;
    KRGMO gmo = KRGMO_DEFAULT;
    gmo.Options = KRGMO_WAIT | KRGMO_SYNCPOINT;
    gmo.WaitInterval = 10000;
    char buf[4096];
    KRLONG len = 0;
    KRGET(hc, in, &md, &gmo, sizeof buf, buf, &len, &cc, &rc);
    if (rc) return Exit("get", rc);
    line += std::string(buf, static_cast<size_t>(len)) + " ";
  }
  KRMD md = KRMD_DEFAULT;
  KRPMO pmo = KRPMO_DEFAULT;
  pmo.Options = KRPMO_SYNCPOINT;
  char body[] = "unit put";
  KRPUT(hc, ho, &md, &pmo, sizeof body - 1, body, &cc, &rc);
  if (rc) return Exit("put", rc);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() > 1 && a.back() == "acked" && (a[0] == "get" || a[0] == "put")) {
    g_acked = true;
    a.pop_back();
  }
  if (a.size() == 4 && a[0] == "get") return Get(a[1], a[2], std::atoi(a[3].c_str()), false);
  if (a.size() == 4 && a[0] == "browse") return Get(a[1], a[2], std::atoi(a[3].c_str()), true);
  if (a.size() == 3 && a[0] == "backouts") return Get(a[1], a[2], 0, true, true);
  if (a.size() == 3 && a[0] == "hold-dynamic") return HoldDynamic(a[1], a[2]);
  if (a.size() == 5 && a[0] == "getcorrel") return GetCorrel(a[1], a[2], a[3], std::atoi(a[4].c_str()));
  if ((a.size() == 4 || a.size() == 5) && a[0] == "put")
    return Put(a[1], a[2], a[3], a.size() == 5 ? std::atoi(a[4].c_str()) : 1);
  if (a.size() == 4 && a[0] == "reply") return Reply(a[1], a[2], std::atoi(a[3].c_str()));
  if (a.size() >= 4 && a[0] == "hold-unit") return HoldUnit(a[1], a[2], std::vector<std::string>(a.begin() + 3, a.end()));
  std::fprintf(stderr, "usage: queue_helper get|browse|hold-dynamic|getcorrel|put|reply|hold-unit ...\n");
  return 2;
}
