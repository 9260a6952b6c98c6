// The trace facility end to end: real registry values, real trace and error
// files under a throwaway data root, real threads and two real modules.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/trace/trace.h"
#include "platform/files/append_file.h"
#include "platform/registry/registry.h"
#include "platform/sync/thread.h"
#include "platform/text/convert.h"
#include "tests/support/test_home.h"

namespace {

using krsoap::trace::kTraceEntry;
using krsoap::trace::kTraceExit;
using krsoap::trace::kTraceText;

const char16_t kProductKey[] = u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion";
const char16_t kSoapKey[] = u"SOFTWARE\\Orvane\\KRSoap";
const std::string kDashes(50, '-');

std::u16string Wide(const std::string& s) { return krsoap::platform::Utf8ToUtf16(s); }
std::string Narrow(const std::u16string& s) { return krsoap::platform::Utf16ToUtf8(s); }

void SetValue(const char16_t* key, const char16_t* name, DWORD type, const void* data, DWORD size) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  if (name) {
    ASSERT_EQ(RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  RegCloseKey(k);
}
void CreateKey(const char16_t* key) { SetValue(key, nullptr, 0, nullptr, 0); }
void SetDword(const char16_t* key, const char16_t* name, DWORD value) {
  SetValue(key, name, REG_DWORD, &value, sizeof(value));
}
void SetString(const char16_t* key, const char16_t* name, const std::u16string& value) {
  SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2));
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string PidName() {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "KRSP%04ld.trc", static_cast<long>(::getpid()));
  return buf;
}

// Splits a text-mode file into lines; every line must end in CR LF.
std::vector<std::string> Lines(const std::string& content) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last CR LF: " << content.substr(pos, 80);
      break;
    }
    lines.push_back(content.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

struct TraceLine {
  long thread = 0;
  SYSTEMTIME time{};
  int dashes = 0;
  int blanks = 0;
  std::string message;
};

// Parses " %6ld dd/mm HH:MM:SS<dashes><blanks>> message"; false when the line
// is not of that shape.
bool Parse(const std::string& line, TraceLine* out) {
  if (line.size() < 2 || line[0] != ' ') return false;
  size_t i = 1, spaces = 0, digits = 0;
  while (i < line.size() && line[i] == ' ') ++i, ++spaces;
  while (i < line.size() && isdigit(static_cast<unsigned char>(line[i]))) ++i, ++digits;
  if (digits == 0 || (digits <= 6 ? spaces + digits != 6 : spaces != 0)) return false;
  out->thread = std::stol(line.substr(1 + spaces, digits));
  if (i >= line.size() || line[i++] != ' ') return false;
  std::string t = line.substr(i, 14);
  int d, m, h, mi, s;
  char tail;
  if (t.size() != 14 || t[2] != '/' || t[5] != ' ' || t[8] != ':' || t[11] != ':' ||
      std::sscanf(t.c_str(), "%2d/%2d %2d:%2d:%2d%c", &d, &m, &h, &mi, &s, &tail) != 5) {
    return false;
  }
  if (d < 1 || d > 31 || m < 1 || m > 12 || h > 23 || mi > 59 || s > 60) return false;
  out->time = SYSTEMTIME{2000, WORD(m), 0, WORD(d), WORD(h), WORD(mi), WORD(s), 0};
  i += 14;
  out->dashes = out->blanks = 0;
  while (i < line.size() && line[i] == '-') ++i, ++out->dashes;
  while (i < line.size() && line[i] == ' ') ++i, ++out->blanks;
  if (out->blanks > 0 && out->dashes != 50) return false;
  if (line.compare(i, 2, "> ") != 0) return false;
  out->message = line.substr(i + 2);
  return true;
}

// The exact bytes a line must have, given what cannot be chosen (the time).
std::string Expected(const TraceLine& parsed, DWORD thread, LONG depth, const std::string& message) {
  char16_t prefix[4096];
  size_t n = krsoap::trace::FormatLinePrefix(prefix, 4096, thread, parsed.time, depth);
  return Narrow(std::u16string(prefix, n)) + message;
}

bool HasTraceFile(const std::string& dir) {
  for (auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (e.path().extension() == ".trc") return true;
  }
  return false;
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { krsoap::trace::ResetForTesting(); }
  void TearDown() override { krsoap::trace::ResetForTesting(); }

  std::string Home() const { return home_.path(); }
  std::string FallbackFile() const { return Home() + "/" + PidName(); }
  std::string ErrorFile() const { return Home() + "/error.txt"; }

  void EnableTracing() {
    CreateKey(kProductKey);
    SetDword(kSoapKey, u"soapTrace", 1);
  }
  void EnableTracingIn(const std::string& work_path) {
    SetString(kProductKey, u"WorkPath", Wide(work_path));
    SetDword(kSoapKey, u"soapTrace", 1);
  }

  std::vector<TraceLine> ParsedLines(const std::string& path) {
    std::vector<TraceLine> out;
    for (const std::string& line : Lines(ReadAll(path))) {
      TraceLine t;
      EXPECT_TRUE(Parse(line, &t)) << "malformed line: " << line.substr(0, 120);
      out.push_back(t);
    }
    return out;
  }

  krsoap::test::ScopedHome home_;
};

TEST(TracePrefix, FieldsWidthsAndDepthMarker) {
  SYSTEMTIME t{2026, 12, 0, 6, 11, 34, 36, 0};
  char16_t buf[256];
  auto prefix = [&](DWORD tid, LONG depth) {
    size_t n = krsoap::trace::FormatLinePrefix(buf, 256, tid, t, depth);
    return std::u16string(buf, n);
  };
  EXPECT_EQ(prefix(912, 1), u"    912 06/12 11:34:36-> ");
  EXPECT_EQ(prefix(912, 0), u"    912 06/12 11:34:36> ");
  EXPECT_EQ(prefix(5, 3), u"      5 06/12 11:34:36---> ");
  EXPECT_EQ(prefix(123456, 0), u" 123456 06/12 11:34:36> ");
  EXPECT_EQ(prefix(1234567, 0), u" 1234567 06/12 11:34:36> ");  // widens, keeps the blank
  EXPECT_EQ(prefix(912, 50), u"    912 06/12 11:34:36" + Wide(kDashes) + u"> ");
  EXPECT_EQ(prefix(912, 60), u"    912 06/12 11:34:36" + Wide(kDashes) + u"          > ");
  SYSTEMTIME early{2027, 2, 0, 1, 3, 4, 5, 0};
  size_t n = krsoap::trace::FormatLinePrefix(buf, 256, 42, early, 0);
  EXPECT_EQ(std::u16string(buf, n), u"     42 01/02 03:04:05> ");
  // A small buffer cuts the prefix, never overflows it.
  n = krsoap::trace::FormatLinePrefix(buf, 10, 912, t, 60);
  EXPECT_EQ(n, 9u);
}

TEST_F(TraceTest, EntryTextAndExitLinesByteForByte) {
  EnableTracing();
  DWORD tid = GetCurrentThreadId();
  Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"CKRSoapHandler::Read");
  LogText("cc=%d rc=%d", 2, 2033);
  Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"CKRSoapHandler::Read", -2147467259L);
  Logerror(kTraceText, u"outside");

  char name[4096];
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  EXPECT_EQ(std::string(name), FallbackFile());
  std::vector<std::string> lines = Lines(ReadAll(FallbackFile()));
  ASSERT_EQ(lines.size(), 4u);
  const struct {
    LONG depth;
    const char* message;
  } want[] = {{1, "KRSoap:Server/CKRSoapHandler::Read {"},
              {1, "cc=2 rc=2033"},
              {1, "KRSoap:Server/CKRSoapHandler::Read rc = -2147467259 }"},
              {0, "outside"}};
  for (size_t i = 0; i < 4; ++i) {
    TraceLine parsed;
    ASSERT_TRUE(Parse(lines[i], &parsed)) << lines[i];
    EXPECT_EQ(lines[i], Expected(parsed, tid, want[i].depth, want[i].message));
  }
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
  EXPECT_FALSE(Exists(ErrorFile()));
}

TEST_F(TraceTest, NestedOperationsShowTheModuleDepth) {
  EnableTracing();
  Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"Outer");
  Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"Inner");
  LogText("inside");
  Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"Inner", 0L);
  LogText("between");
  Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"Outer", 0L);
  LogText("after");
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), 7u);
  const int dashes[] = {1, 2, 2, 2, 1, 1, 0};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(lines[i].dashes, dashes[i]) << i;
  EXPECT_EQ(lines[0].message, "KRSoap:Server/Outer {");
  EXPECT_EQ(lines[5].message, "KRSoap:Server/Outer rc = 0 }");
}

TEST_F(TraceTest, DepthSixtyIsFiftyDashesAndTenBlanks) {
  EnableTracing();
  for (int i = 0; i < 60; ++i) Logerror(kTraceEntry, u"level %d", i + 1);
  LogText("deep");
  for (int i = 60; i > 0; --i) Logerror(kTraceExit, u"level %d", i);
  Logerror(kTraceText, u"top");
  std::vector<std::string> lines = Lines(ReadAll(FallbackFile()));
  ASSERT_EQ(lines.size(), 122u);
  TraceLine deep, top;
  ASSERT_TRUE(Parse(lines[60], &deep));
  EXPECT_EQ(deep.dashes, 50);
  EXPECT_EQ(deep.blanks, 10);
  EXPECT_NE(lines[60].find(kDashes + "          > deep"), std::string::npos);
  ASSERT_TRUE(Parse(lines[121], &top));
  EXPECT_EQ(top.dashes + top.blanks, 0);
  EXPECT_EQ(lines[121].substr(lines[121].size() - 5), "> top");
}

TEST_F(TraceTest, PercentSignsPassThroughLogTextLiterally) {
  EnableTracing();
  LogText("%d%%", 50);
  LogText("%s", "100% sure: %d %s %n %%");
  Logerror(kTraceText, u"%s", u"wide %s %d");
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "50%");
  EXPECT_EQ(lines[1].message, "100% sure: %d %s %n %%");
  EXPECT_EQ(lines[2].message, "wide %s %d");
}

TEST_F(TraceTest, TextIsWrittenAsUtf8WithTextModeLineEnds) {
  EnableTracing();
  Logerror(kTraceText, u"%s", u"Z\u00fcrich \u20ac \U0001F600");
  LogText("%S and %s", u"\u00fc", "\xc3\xa9");
  LogText("two\nparts");
  Logerror(kTraceText, u"%s", u"lone \xd800 surrogate");
  std::string content = ReadAll(FallbackFile());
  EXPECT_NE(content.find("> lone ? surrogate\r\n"), std::string::npos);
  EXPECT_NE(content.find("> Z\xc3\xbcrich \xe2\x82\xac \xf0\x9f\x98\x80\r\n"), std::string::npos);
  EXPECT_NE(content.find("> \xc3\xbc and \xc3\xa9\r\n"), std::string::npos);
  // Every LF of the text goes out as CR LF, as a text-mode stream writes it.
  EXPECT_NE(content.find("> two\r\nparts\r\n"), std::string::npos);
}

TEST_F(TraceTest, OverlongTextIsCutAtTheBuffer) {
  EnableTracing();
  LogText("%s", std::string(20000, 'x').c_str());
  std::string accents;
  for (int i = 0; i < 6000; ++i) accents += "\xc3\xa9";
  LogText("%s", accents.c_str());
  // Logerror's own message is bounded too, and an exit line keeps its brace
  // and its depth decrement.
  Logerror(kTraceEntry, u"op");
  Logerror(kTraceExit, u"%s", Wide(std::string(40000, 'w')).c_str());
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].message, std::string(10239, 'x'));
  // 10,239 bytes would end inside a character: the cut goes before it.
  EXPECT_EQ(lines[1].message.size(), 10238u);
  EXPECT_EQ(lines[1].message, accents.substr(0, 10238));
  EXPECT_GT(lines[3].message.size(), 10239u);
  EXPECT_LT(lines[3].message.size(), 40000u);
  EXPECT_EQ(lines[3].message.substr(lines[3].message.size() - 3), "w }");
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
}

TEST_F(TraceTest, NoProductKeyMeansTracingOffForTheProcess) {
  Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"Op");
  LogText("text");
  // The registry is read once: switching tracing on later changes nothing.
  EnableTracing();
  Logerror(kTraceText, u"later");
  Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"Op", 0L);
  EXPECT_FALSE(HasTraceFile(Home()));
  EXPECT_FALSE(Exists(ErrorFile()));
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
  char name[4096];
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  EXPECT_EQ(std::string(name), FallbackFile());  // set, so never read again
}

TEST_F(TraceTest, SoapTraceZeroOrMissingMeansTracingOff) {
  struct Case {
    const char* what;
    void (*setup)();
  };
  const Case cases[] = {
      {"soapTrace = 0", [] { CreateKey(kProductKey); SetDword(kSoapKey, u"soapTrace", 0); }},
      {"no KRSoap key", [] { CreateKey(kProductKey); }},
      {"no soapTrace value", [] { CreateKey(kProductKey); CreateKey(kSoapKey); }},
      {"soapTrace without the product key", [] { SetDword(kSoapKey, u"soapTrace", 1); }},
  };
  for (const Case& c : cases) {
    krsoap::test::ScopedHome home;
    krsoap::trace::ResetForTesting();
    c.setup();
    Logerror(kTraceEntry, u"x");
    LogText("y");
    Logerror(kTraceExit, u"x");
    EXPECT_FALSE(HasTraceFile(home.path())) << c.what;
    EXPECT_FALSE(Exists(home.path() + "/error.txt")) << c.what;
  }
}

TEST_F(TraceTest, SoapTraceIsTheFirstFourBytesWhateverTheType) {
  struct Case {
    const char* what;
    DWORD type;
    std::string bytes;
    bool on;
  };
  const Case cases[] = {
      {"REG_SZ \"1\"", REG_SZ, std::string("1\0\0\0", 4), true},
      {"REG_SZ \"0\" (a character, not a zero)", REG_SZ, std::string("0\0\0\0", 4), true},
      {"REG_SZ \"10\" (longer than 4 bytes)", REG_SZ, std::string("1\0" "0\0\0\0", 6), true},
      {"REG_SZ empty", REG_SZ, std::string("\0\0", 2), false},
      {"REG_BINARY one byte", REG_BINARY, std::string("\1", 1), true},
      {"REG_BINARY zero then more", REG_BINARY, std::string("\0\0\0\0\1", 5), false},
      {"REG_DWORD 0", REG_DWORD, std::string("\0\0\0\0", 4), false},
      {"REG_DWORD 2", REG_DWORD, std::string("\2\0\0\0", 4), true},
  };
  for (const Case& c : cases) {
    krsoap::test::ScopedHome home;
    krsoap::trace::ResetForTesting();
    CreateKey(kProductKey);
    SetValue(kSoapKey, u"soapTrace", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    LogText("probe");
    EXPECT_EQ(HasTraceFile(home.path()), c.on) << c.what;
  }
}

TEST_F(TraceTest, WorkPathNamesTheErrorsDirectory) {
  ASSERT_EQ(::mkdir((Home() + "/work").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((Home() + "/work/Errors").c_str(), 0700), 0);
  EnableTracingIn(Home() + "/work");
  LogText("hello");
  std::string path = Home() + "/work/Errors/" + PidName();
  std::vector<TraceLine> lines = ParsedLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "hello");
  EXPECT_FALSE(Exists(FallbackFile()));

  // Backslashes in the value are path separators too.
  krsoap::test::ScopedHome other;
  krsoap::trace::ResetForTesting();
  ASSERT_EQ(::mkdir((other.path() + "/w2").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((other.path() + "/w2/Errors").c_str(), 0700), 0);
  EnableTracingIn(other.path() + "\\w2");
  LogText("again");
  EXPECT_EQ(Lines(ReadAll(other.path() + "/w2/Errors/" + PidName())).size(), 1u);
}

TEST_F(TraceTest, WorkPathOfMoreThan255CharactersFallsBack) {
  std::string base = Home() + "/";
  std::string longest = base + std::string(255 - base.size(), 'p');
  ASSERT_EQ(Wide(longest).size(), 255u);
  std::string too_long = longest + "q";

  EnableTracingIn(longest);
  LogText("fits");
  char name[4096];
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  EXPECT_EQ(std::string(name), longest + "/Errors/" + PidName());

  krsoap::test::ScopedHome other;
  krsoap::trace::ResetForTesting();
  EnableTracingIn(too_long);
  LogText("falls back");
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  EXPECT_EQ(std::string(name), other.path() + "/" + PidName());
  EXPECT_EQ(ParsedLines(name).size(), 1u);
}

TEST_F(TraceTest, MissingErrorsDirectoryGivesOneErrorLinePerLineAndKeepsDepth) {
  std::string work = Home() + "/work";
  ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
  EnableTracingIn(work);
  Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"Op");
  LogText("lost");
  Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"Op", 0L);
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
  std::string trace = work + "/Errors/" + PidName();
  std::string line = "Exception in Logerror filename " + trace + " 3 00000003\r\n";
  EXPECT_EQ(ReadAll(ErrorFile()), line + line + line);
  EXPECT_FALSE(Exists(trace));

  // The directory appears: the next lines land with the right indentation.
  ASSERT_EQ(::mkdir((work + "/Errors").c_str(), 0700), 0);
  Logerror(kTraceEntry, u"again");
  Logerror(kTraceExit, u"again");
  std::vector<TraceLine> lines = ParsedLines(trace);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].dashes, 1);
  EXPECT_EQ(lines[1].dashes, 1);
  EXPECT_EQ(Lines(ReadAll(ErrorFile())).size(), 3u);
}

TEST_F(TraceTest, SymbolicLinksOnTheTracePathAreRefused) {
  // The Errors directory is a link to somewhere else.
  std::string work = Home() + "/work";
  std::string elsewhere = Home() + "/elsewhere";
  ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), (work + "/Errors").c_str()), 0);
  EnableTracingIn(work);
  LogText("via link");
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  EXPECT_EQ(ReadAll(ErrorFile()),
            "Exception in Logerror filename " + work + "/Errors/" + PidName() + " 5 00000005\r\n");

  // The trace file itself is a link; so is the error file.
  krsoap::test::ScopedHome other;
  krsoap::trace::ResetForTesting();
  std::string victim = other.path() + "/victim";
  std::ofstream(victim) << "untouched";
  ASSERT_EQ(::symlink(victim.c_str(), (other.path() + "/" + PidName()).c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (other.path() + "/error.txt").c_str()), 0);
  EnableTracing();
  LogText("via link");
  EXPECT_EQ(ReadAll(victim), "untouched");
}

TEST_F(TraceTest, ExistingTraceFileIsAppendedNeverTruncated) {
  std::ofstream(FallbackFile()) << "earlier line\r\n";
  EnableTracing();
  LogText("next");
  std::string content = ReadAll(FallbackFile());
  ASSERT_EQ(content.rfind("earlier line\r\n", 0), 0u);
  EXPECT_EQ(Lines(content).size(), 2u);
}

TEST_F(TraceTest, FileHeldByAnotherWriterIsASharingViolation) {
  EnableTracing();
  LogText("first");
  {
    krsoap::platform::AppendFile holder;
    ASSERT_EQ(holder.Open(FallbackFile().c_str(), krsoap::platform::AppendFile::Mode::kExclusive),
              krsoap::platform::FileCause::kNone);
    Logerror(kTraceEntry, u"blocked");
    EXPECT_EQ(ReadAll(ErrorFile()),
              "Exception in Logerror filename " + FallbackFile() + " 11 0000000b\r\n");
  }
  Logerror(kTraceExit, u"free again");
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].message, "free again }");
  EXPECT_EQ(lines[1].dashes, 1);  // the lost entry line still counted
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
}

TEST_F(TraceTest, TraceCallsLeaveErrnoAlone) {
  EnableTracingIn(Home() + "/missing");  // every line fails
  errno = EDOM;
  LogText("x");
  Logerror(kTraceText, u"y");
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(Lines(ReadAll(ErrorFile())).size(), 2u);
}

TEST_F(TraceTest, ManyThreadsNeverTearLines) {
  EnableTracing();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::string payload(300, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      for (int i = 0; i < kPerThread; ++i) {
        Logerror(kTraceEntry, u"%s/%s", u"KRSoap:Server", u"Work");
        LogText("thread %d line %d %s", t, i, payload.c_str());
        Logerror(kTraceExit, u"%s/%s rc = %ld", u"KRSoap:Server", u"Work", 0L);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), size_t(kThreads * kPerThread * 3));
  std::map<std::string, int> seen;
  std::map<long, int> per_thread;
  for (const TraceLine& l : lines) {
    EXPECT_GE(l.dashes, 1);
    EXPECT_LE(l.dashes, kThreads);
    ++per_thread[l.thread];
    if (l.message.rfind("thread ", 0) == 0) ++seen[l.message];
  }
  EXPECT_EQ(seen.size(), size_t(kThreads * kPerThread));
  for (auto& [message, count] : seen) EXPECT_EQ(count, 1) << message;
  EXPECT_EQ(per_thread.size(), size_t(kThreads));
  EXPECT_EQ(krsoap::trace::CurrentDepth(), 0);
  EXPECT_FALSE(Exists(ErrorFile()));
}

// Two modules, each linking the trace library, loaded into this process.
class TwoModules : public TraceTest {
 protected:
  struct Module {
    void* handle = nullptr;
    void (*trace)(int, const char*) = nullptr;
    void (*reset)() = nullptr;
    LONG (*depth)() = nullptr;
  };
  void SetUp() override {
    TraceTest::SetUp();
    Load("a", &a_);
    Load("b", &b_);
  }
  void TearDown() override {
    for (Module* m : {&a_, &b_}) {
      if (m->handle) ::dlclose(m->handle);
    }
    TraceTest::TearDown();
  }
  void Load(const char* which, Module* m) {
    std::string path = krsoap::test::LibDir() + "/libtrace_probe_" + which + ".so";
    m->handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m->handle, nullptr) << ::dlerror();
    m->trace = reinterpret_cast<void (*)(int, const char*)>(::dlsym(m->handle, "ProbeTrace"));
    m->reset = reinterpret_cast<void (*)()>(::dlsym(m->handle, "ProbeReset"));
    m->depth = reinterpret_cast<LONG (*)()>(::dlsym(m->handle, "ProbeDepth"));
    ASSERT_TRUE(m->trace && m->reset && m->depth);
    m->reset();
  }
  Module a_, b_;
};

TEST_F(TwoModules, EachKeepsItsOwnStateAndBothShareTheFile) {
  EnableTracing();
  a_.trace(kTraceEntry, "A/Op");
  b_.trace(kTraceText, "from B");
  a_.trace(kTraceText, "from A");
  a_.trace(kTraceExit, "A/Op");
  EXPECT_EQ(a_.depth(), 0);
  EXPECT_EQ(b_.depth(), 0);
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].message, "A/Op {");
  EXPECT_EQ(lines[0].dashes, 1);
  EXPECT_EQ(lines[1].message, "from B");
  EXPECT_EQ(lines[1].dashes, 0);  // B's depth is its own
  EXPECT_EQ(lines[2].dashes, 1);
  EXPECT_EQ(lines[3].message, "A/Op }");
  // This test program's own copy was never called.
  char name[16] = "x";
  krsoap::trace::CurrentTraceFileName(name, sizeof(name));
  EXPECT_STREQ(name, "");
}

TEST_F(TwoModules, CollisionsOnTheFileFailVisiblyAndLinesStayWhole) {
  EnableTracing();
  constexpr int kLines = 1500;
  auto run = [](Module m, const char* who) {
    char text[64];
    for (int i = 0; i < kLines; ++i) {
      std::snprintf(text, sizeof(text), "%s %d", who, i);
      m.trace(kTraceText, text);
    }
  };
  std::thread ta(run, a_, "A");
  std::thread tb(run, b_, "B");
  ta.join();
  tb.join();
  std::vector<TraceLine> lines = ParsedLines(FallbackFile());
  size_t errors = 0;
  if (Exists(ErrorFile())) {
    std::string expected = "Exception in Logerror filename " + FallbackFile() + " 11 0000000b";
    for (const std::string& e : Lines(ReadAll(ErrorFile()))) {
      EXPECT_EQ(e, expected);
      ++errors;
    }
  }
  EXPECT_EQ(lines.size() + errors, size_t(2 * kLines));
  std::map<std::string, int> seen;
  for (const TraceLine& l : lines) ++seen[l.message];
  for (auto& [message, count] : seen) EXPECT_EQ(count, 1) << message;
  std::printf("[          ] %zu of %d lines met the other module's lock\n", errors, 2 * kLines);
}

}  // namespace
