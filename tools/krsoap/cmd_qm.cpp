// "krsoap qm": administration of this machine's queue managers (create,
// delete, list), their queues (define, undefine, queues, clear) and their
// messages (put, get). Messages go through the same six calls the component
// libraries use. Also the setup step that creates the default embedded queue
// manager on a fresh installation.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/queue/krqueue.h"
#include "platform/queue/qm_directory.h"
#include "platform/queue/queue_api.h"
#include "platform/queue/store.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {

Runner DefineQmRequest(CLI::App& verb);  // cmd_qm_request.cpp

namespace {

namespace q = krsoap::queue;

constexpr const char* kDefaultQmName = "KRSOAP.QM";
constexpr KRLONG kMaxBody = 4 * 1024 * 1024;

int Fail(const char* what, int32_t rc) {
  std::fprintf(stderr, "krsoap qm: %s: reason %d (%s)\n", what, rc, KRReasonText(rc));
  return 1;
}

// The verb being run, for the usage errors its checks find.
const char* g_verb = "qm";

int Usage(const char* msg) { return UsageError(std::string("qm ") + g_verb, msg); }

std::string QmArg(const std::string& a) { return a == "-" ? std::string() : a; }

// A verb's command line as CLI11 read it: its operands in order, and the
// options given (name without dashes -> value, "" for a flag).
struct Options {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> named;
  const std::string* Get(const std::string& name) const {
    for (auto& [k, v] : named)
      if (k == name) return &v;
    return nullptr;
  }
  bool Has(const std::string& name) const { return Get(name) != nullptr; }
};

bool ParseInt(const std::string& s, long lo, long hi, int32_t* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || errno || v < lo || v > hi) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool ParseYesNo(const std::string& s, bool* out) {
  if (s == "yes") *out = true;
  else if (s == "no") *out = false;
  else return false;
  return true;
}

std::string Field(const char* p, size_t n) { return q::FieldToName(p, n); }

// Opens the store of a queue manager for administration.
int32_t StoreOf(const std::string& qm, std::unique_ptr<q::Store>* out) {
  q::QmDefinition def;
  if (int32_t rc = q::ResolveQm(QmArg(qm), &def)) return rc;
  return q::OpenStore(def, false, out);
}

int CmdCreate(const Options& o) {
  std::string store = o.Get("store") ? *o.Get("store") : "sqlite";
  if (store != "sqlite" && !q::IsPgStore(store)) return Usage("--store is sqlite or a postgresql:// connection string");
  const std::string& name = o.positional[0];
  if (int32_t rc = q::CreateQm(name, store, o.Has("default"))) return Fail("create", rc);
  std::printf("queue manager %s created%s\n", name.c_str(), o.Has("default") ? " (default)" : "");
  return 0;
}

int CmdDelete(const Options& o) {
  if (int32_t rc = q::DeleteQm(o.positional[0])) return Fail("delete", rc);
  q::api::ForgetResolutions();
  std::printf("queue manager %s deleted\n", o.positional[0].c_str());
  return 0;
}

int CmdList(const Options&) {
  std::vector<q::QmDefinition> all;
  if (int32_t rc = q::ListQms(&all)) return Fail("list", rc);
  for (const auto& d : all) {
    // A connection string may carry a password: show only its scheme.
    std::string store = q::IsPgStore(d.store) ? std::string("postgresql") : d.store;
    std::printf("%-48s %-10s%s\n", d.name.c_str(), store.c_str(), d.is_default ? " default" : "");
  }
  return 0;
}

int CmdDefine(const Options& o) {
  q::QueueAttributes a;
  a.name = o.positional[1];
  if (int32_t rc = q::CheckQueueName(a.name)) return Fail("define", rc);
  if (auto* v = o.Get("max-depth"); v && !ParseInt(*v, 1, 1000000, &a.max_depth)) return Usage("bad --max-depth");
  if (auto* v = o.Get("max-length"); v && !ParseInt(*v, 0, 100 * 1024 * 1024, &a.max_message_length))
    return Usage("bad --max-length");
  if (auto* v = o.Get("priority"); v && !ParseInt(*v, 0, 9, &a.default_priority)) return Usage("bad --priority");
  if (auto* v = o.Get("backout-queue")) {
    if (int32_t rc = q::CheckQueueName(*v)) return Fail("define --backout-queue", rc);
    a.backout_queue = *v;
  }
  if (auto* v = o.Get("backout-threshold"); v && !ParseInt(*v, 0, 1000000, &a.backout_threshold))
    return Usage("bad --backout-threshold");
  if (auto* v = o.Get("persistent")) {
    bool yes = false;
    if (!ParseYesNo(*v, &yes)) return Usage("--persistent is yes or no");
    a.default_persistence = yes ? KRPER_PERSISTENT : KRPER_NOT_PERSISTENT;
  }
  std::unique_ptr<q::Store> store;
  if (int32_t rc = StoreOf(o.positional[0], &store)) return Fail("define", rc);
  if (int32_t rc = store->DefineQueue(a, o.Has("replace"))) return Fail("define", rc);
  std::printf("queue %s defined\n", a.name.c_str());
  return 0;
}

int CmdUndefine(const Options& o) {
  std::unique_ptr<q::Store> store;
  if (int32_t rc = StoreOf(o.positional[0], &store)) return Fail("undefine", rc);
  if (int32_t rc = store->DeleteQueue(o.positional[1])) return Fail("undefine", rc);
  std::printf("queue %s deleted\n", o.positional[1].c_str());
  return 0;
}

int CmdQueues(const Options& o) {
  std::unique_ptr<q::Store> store;
  if (int32_t rc = StoreOf(o.positional[0], &store)) return Fail("queues", rc);
  std::vector<q::QueueInfo> list;
  if (int32_t rc = store->ListQueues(&list)) return Fail("queues", rc);
  std::printf("%-48s %-9s %8s %6s %9s %s\n", "QUEUE", "TYPE", "DEPTH", "OPEN", "BACKOUTS", "BACKOUT QUEUE");
  for (const auto& i : list) {
    const char* kind = i.attributes.kind == q::QueueKind::kModel              ? "model"
                       : i.attributes.kind == q::QueueKind::kTemporaryDynamic ? "temporary"
                                                                              : "local";
    // The backout threshold and queue: "-" when none is defined.
    const std::string threshold =
        i.attributes.backout_threshold > 0 ? std::to_string(i.attributes.backout_threshold) : "-";
    std::printf("%-48s %-9s %8lld %6lld %9s %s\n", i.attributes.name.c_str(), kind, static_cast<long long>(i.depth),
                static_cast<long long>(i.open_handles), threshold.c_str(),
                i.attributes.backout_queue.empty() ? "-" : i.attributes.backout_queue.c_str());
  }
  return 0;
}

int CmdClear(const Options& o) {
  std::unique_ptr<q::Store> store;
  if (int32_t rc = StoreOf(o.positional[0], &store)) return Fail("clear", rc);
  if (int32_t rc = store->ClearQueue(o.positional[1])) return Fail("clear", rc);
  std::printf("queue %s cleared\n", o.positional[1].c_str());
  return 0;
}

// Connects and opens QUEUE on QM with `options`.
int32_t Connect(const std::string& qm, const std::string& queue, KRLONG options, KRHCONN* hconn, KRHOBJ* hobj) {
  KRLONG cc = 0, rc = 0;
  std::string name = QmArg(qm);
  q::api::Conn(name.c_str(), hconn, &cc, &rc);
  if (rc) return rc;
  KROD od = KROD_DEFAULT;
  if (queue.size() > KR_Q_NAME_LENGTH) {
    q::api::Disc(hconn, &cc, &rc);
    return KRRC_NAME_TOO_LONG;
  }
  q::NameToField(queue, od.ObjectName, KR_Q_NAME_LENGTH);
  q::api::Open(*hconn, &od, options, hobj, &cc, &rc);
  if (rc) {
    KRLONG cc2, rc2;
    q::api::Disc(hconn, &cc2, &rc2);
  }
  return rc;
}

int CmdPut(const Options& o) {
  KRMD md = KRMD_DEFAULT;
  if (auto* v = o.Get("type")) {
    if (*v == "request") md.MsgType = KRMT_REQUEST;
    else if (*v == "datagram") md.MsgType = KRMT_DATAGRAM;
    else return Usage("--type is request or datagram");
  }
  if (auto* v = o.Get("format")) {
    if (v->size() > KR_FORMAT_LENGTH) return Usage("--format is at most 8 characters");
    std::memset(md.Format, ' ', KR_FORMAT_LENGTH);
    std::memcpy(md.Format, v->data(), v->size());
  }
  if (auto* v = o.Get("reply-to")) {
    if (v->size() > KR_Q_NAME_LENGTH) return Fail("put", KRRC_NAME_TOO_LONG);
    q::NameToField(*v, md.ReplyToQ, KR_Q_NAME_LENGTH);
  }
  if (auto* v = o.Get("reply-to-qm")) {
    if (v->size() > KR_Q_MGR_NAME_LENGTH) return Fail("put", KRRC_NAME_TOO_LONG);
    q::NameToField(*v, md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH);
  }
  if (auto* v = o.Get("correl-id"); v && !q::HexToId(*v, md.CorrelId, KR_CORREL_ID_LENGTH))
    return Usage("--correl-id is up to 48 hex digits");
  if (auto* v = o.Get("persistent")) {
    bool yes = false;
    if (!ParseYesNo(*v, &yes)) return Usage("--persistent is yes or no");
    md.Persistence = yes ? KRPER_PERSISTENT : KRPER_NOT_PERSISTENT;
  }
  if (auto* v = o.Get("priority"); v && !ParseInt(*v, 0, 9, &md.Priority)) return Usage("bad --priority");
  if (auto* v = o.Get("expiry"); v && !ParseInt(*v, 1, INT32_MAX, &md.Expiry)) return Usage("bad --expiry");

  // The body.
  std::string body;
  FILE* in = stdin;
  if (auto* v = o.Get("file")) {
    in = std::fopen(v->c_str(), "rb");
    if (!in) {
      std::fprintf(stderr, "krsoap qm: cannot open %s: %s\n", v->c_str(), std::strerror(errno));
      return 1;
    }
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
    body.append(buf, n);
    if (body.size() > static_cast<size_t>(kMaxBody)) break;
  }
  if (in != stdin) std::fclose(in);
  if (body.size() > static_cast<size_t>(kMaxBody)) return Fail("put", KRRC_MSG_TOO_BIG_FOR_Q);

  KRHCONN hconn = 0;
  KRHOBJ hobj = 0;
  if (int32_t rc = Connect(o.positional[0], o.positional[1], KROO_OUTPUT, &hconn, &hobj)) return Fail("put", rc);
  KRPMO pmo = KRPMO_DEFAULT;
  KRLONG cc = 0, rc = 0;
  q::api::Put(hconn, hobj, &md, &pmo, static_cast<KRLONG>(body.size()), body.data(), &cc, &rc);
  KRLONG cc2, rc2;
  q::api::Close(hconn, &hobj, KRCO_NONE, &cc2, &rc2);
  q::api::Disc(&hconn, &cc2, &rc2);
  if (rc) return Fail("put", rc);
  std::printf("%s\n", q::IdToHex(md.MsgId, KR_MSG_ID_LENGTH).c_str());
  return 0;
}

int CmdGet(const Options& o) {
  KRMD md = KRMD_DEFAULT;
  KRGMO gmo = KRGMO_DEFAULT;
  if (auto* v = o.Get("wait")) {
    if (!ParseInt(*v, -1, INT32_MAX, &gmo.WaitInterval)) return Usage("bad --wait");
    gmo.Options |= KRGMO_WAIT;
  }
  if (auto* v = o.Get("correl-id"); v && !q::HexToId(*v, md.CorrelId, KR_CORREL_ID_LENGTH))
    return Usage("--correl-id is up to 48 hex digits");
  if (auto* v = o.Get("msg-id"); v && !q::HexToId(*v, md.MsgId, KR_MSG_ID_LENGTH))
    return Usage("--msg-id is up to 48 hex digits");
  const bool browse = o.Has("browse");
  if (browse) gmo.Options |= KRGMO_BROWSE_FIRST;
  KRHCONN hconn = 0;
  KRHOBJ hobj = 0;
  if (int32_t rc = Connect(o.positional[0], o.positional[1], browse ? KROO_BROWSE : KROO_INPUT_AS_Q_DEF, &hconn, &hobj))
    return Fail("get", rc);
  std::vector<char> buffer(kMaxBody);
  KRLONG len = 0, cc = 0, rc = 0;
  q::api::Get(hconn, hobj, &md, &gmo, kMaxBody, buffer.data(), &len, &cc, &rc);
  KRLONG cc2, rc2;
  q::api::Close(hconn, &hobj, KRCO_NONE, &cc2, &rc2);
  q::api::Disc(&hconn, &cc2, &rc2);
  if (rc) return Fail("get", rc);
  const char* type = md.MsgType == KRMT_REQUEST ? "request"
                     : md.MsgType == KRMT_REPLY ? "reply"
                     : md.MsgType == KRMT_REPORT ? "report"
                     : md.MsgType == KRMT_DATAGRAM ? "datagram"
                                                   : "other";
  std::printf("MsgId:       %s\n", q::IdToHex(md.MsgId, KR_MSG_ID_LENGTH).c_str());
  std::printf("CorrelId:    %s\n", q::IdToHex(md.CorrelId, KR_CORREL_ID_LENGTH).c_str());
  std::printf("MsgType:     %d (%s)\n", md.MsgType, type);
  std::printf("Format:      %s\n", std::string(md.Format, KR_FORMAT_LENGTH).c_str());
  std::printf("Priority:    %d\n", md.Priority);
  std::printf("BackoutCount: %d\n", md.BackoutCount);
  std::printf("Persistence: %d\n", md.Persistence);
  std::printf("Expiry:      %d\n", md.Expiry);
  std::printf("ReplyToQ:    %s\n", Field(md.ReplyToQ, KR_Q_NAME_LENGTH).c_str());
  std::printf("ReplyToQMgr: %s\n", Field(md.ReplyToQMgr, KR_Q_MGR_NAME_LENGTH).c_str());
  std::printf("PutDate:     %s\n", std::string(md.PutDate, KR_PUT_DATE_LENGTH).c_str());
  std::printf("PutTime:     %s\n", std::string(md.PutTime, KR_PUT_TIME_LENGTH).c_str());
  std::printf("Length:      %d\n", len);
  std::printf("\n");
  std::fwrite(buffer.data(), 1, static_cast<size_t>(len), stdout);
  if (len > 0 && buffer[static_cast<size_t>(len) - 1] != '\n') std::printf("\n");
  return 0;
}

// One verb's definition: its operands, flags and valued options (name, value
// name, description), and what runs it.
struct VerbSpec {
  const char* name;
  const char* summary;
  std::vector<std::pair<const char*, const char*>> operands;  // name, description
  std::vector<std::pair<const char*, const char*>> flags;     // name, description
  std::vector<std::array<const char*, 3>> valued;             // name, value name, description
  int (*run)(const Options&);
};

constexpr char kQmOperand[] = "queue manager name; \"\" or \"-\" is the default one";
constexpr char kQueueOperand[] = "queue name";

const std::vector<VerbSpec>& Verbs() {
  static const std::vector<VerbSpec> verbs = {
      {"create", "create a queue manager", {{"NAME", "queue manager name"}},
       {{"default", "make it the default queue manager"}},
       {{"store", "sqlite|postgresql://...", "where its queues are kept (default sqlite)"}}, CmdCreate},
      {"delete", "delete a queue manager", {{"NAME", "queue manager name"}}, {}, {}, CmdDelete},
      {"list", "list the queue managers", {}, {}, {}, CmdList},
      {"define", "define a local queue", {{"QM", kQmOperand}, {"QUEUE", kQueueOperand}},
       {{"replace", "replace the attributes of an existing queue"}},
       {{"max-depth", "N", "the most messages the queue holds (1-1000000)"},
        {"max-length", "N", "the longest message in bytes (0-104857600)"},
        {"persistent", "yes|no", "default persistence of its messages"},
        {"priority", "0-9", "default priority of its messages"},
        {"backout-queue", "NAME", "where a server moves requests backed out too often"},
        {"backout-threshold", "N", "after how many back-outs (0: the server's default)"}},
       CmdDefine},
      {"undefine", "delete a queue", {{"QM", kQmOperand}, {"QUEUE", kQueueOperand}}, {}, {}, CmdUndefine},
      {"queues", "name, type, depth, open handles, backout threshold and backout queue of each queue",
       {{"QM", kQmOperand}}, {}, {}, CmdQueues},
      {"put", "put a message (body from PATH or standard input); prints its message id",
       {{"QM", kQmOperand}, {"QUEUE", kQueueOperand}}, {},
       {{"file", "PATH", "read the body from PATH instead of standard input"},
        {"reply-to", "Q", "reply-to queue"},
        {"reply-to-qm", "QM", "reply-to queue manager"},
        {"type", "request|datagram", "message type"},
        {"format", "NAME", "format name, at most 8 characters"},
        {"correl-id", "HEX", "correlation id, up to 48 hex digits"},
        {"persistent", "yes|no", "persistence"},
        {"priority", "0-9", "priority"},
        {"expiry", "TENTHS", "expiry in tenths of a second"}},
       CmdPut},
      {"get", "get a message; prints the descriptor's main fields and the body",
       {{"QM", kQmOperand}, {"QUEUE", kQueueOperand}}, {{"browse", "browse the first message, leaving it"}},
       {{"wait", "MS", "wait up to MS milliseconds for one (-1: for ever)"},
        {"correl-id", "HEX", "only a message with this correlation id"},
        {"msg-id", "HEX", "only a message with this message id"}},
       CmdGet},
      {"clear", "remove every message of a queue", {{"QM", kQmOperand}, {"QUEUE", kQueueOperand}}, {}, {},
       CmdClear},
  };
  return verbs;
}

// Declares `spec` as a verb of `qm`; the runner reads what CLI11 parsed into
// Options for the verb's own function.
Runner DefineVerb(CLI::App& qm, const VerbSpec& spec) {
  CLI::App* verb = AddVerb(qm, spec.name, spec.summary);
  auto operands = std::make_shared<std::vector<std::string>>(spec.operands.size());
  auto values = std::make_shared<std::vector<std::string>>(spec.valued.size());
  std::vector<std::pair<std::string, CLI::Option*>> named;
  for (size_t i = 0; i < spec.operands.size(); ++i)
    verb->add_option(spec.operands[i].first, (*operands)[i], spec.operands[i].second)->required();
  for (const auto& [name, what] : spec.flags) named.emplace_back(name, verb->add_flag(std::string("--") + name, what));
  for (size_t i = 0; i < spec.valued.size(); ++i) {
    const auto& [name, value, what] = spec.valued[i];
    named.emplace_back(name, verb->add_option(std::string("--") + name, (*values)[i], what)->type_name(value));
  }
  verb->footer(
      "QM \"\" or \"-\" is the default queue manager. Names are at most 48 bytes of\n"
      "A-Z a-z 0-9 . _ % (queues also /). Exit status: 0 done, 1 failed (the\n"
      "reason code is printed), 2 bad usage.\n");
  const VerbSpec* s = &spec;
  return [s, operands, values, named] {
    Options o;
    o.positional = *operands;
    size_t valued = 0;
    for (const auto& [name, opt] : named) {
      const bool is_flag = opt->get_expected_max() == 0;
      if (opt->count() > 0) o.named.emplace_back(name, is_flag ? std::string() : (*values)[valued]);
      if (!is_flag) ++valued;
    }
    g_verb = s->name;
    return s->run(o);
  };
}

Runner DefineQm(CLI::App& app) {
  std::vector<std::pair<CLI::App*, Runner>> runners;
  for (const VerbSpec& spec : Verbs()) {
    Runner run = DefineVerb(app, spec);
    runners.emplace_back(app.get_subcommand(spec.name), run);
  }
  CLI::App* request =
      AddVerb(app, "request", "send a request with a temporary reply-to queue and print the correlated reply");
  runners.emplace_back(request, DefineQmRequest(*request));
  // "qm help", as before: the verbs.
  CLI::App* help = AddVerb(app, "help", "");
  help->group("");
  runners.emplace_back(help, [&app] {
    std::printf("%s", HelpOf(app).c_str());
    return kExitDone;
  });
  app.footer("QM \"\" or \"-\" is the default queue manager. Each verb takes --help.\n");
  return [&app, runners] { return RunChosenVerb(app, runners); };
}

// Setup: a fresh machine gets one embedded queue manager, the default.
int SetupDefaultQm() {
  q::QmDefinition def;
  if (q::ResolveQm("", &def) == KRRC_NONE) return 0;
  int32_t rc = q::CreateQm(kDefaultQmName, "sqlite", true);
  if (rc == KRRC_OBJECT_ALREADY_EXISTS) rc = q::SetDefaultQm(kDefaultQmName);  // defined, not default
  if (rc) {
    std::fprintf(stderr, "krsoap setup: cannot create queue manager %s: reason %d (%s)\n", kDefaultQmName, rc,
                 KRReasonText(rc));
    return 1;
  }
  return 0;
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"qm", "administer queue managers, queues and messages", DefineQm});
KRSOAP_SETUP_STEP(SetupStep{20, "default queue manager", SetupDefaultQm});

}  // namespace krsoap::tool
