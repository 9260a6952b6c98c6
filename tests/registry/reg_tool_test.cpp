// The krsoap reg command and the .reg text format: real krsoap processes
// over a throwaway data root, and the parser on its own for malformed input.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/registry/registry_admin.h"
#include "tests/registry/child_process.h"
#include "tests/support/test_home.h"

namespace {

using krsoap::test::ChildResult;
using krsoap::test::ReadFile;
using krsoap::test::RunKrsoap;
using krsoap::test::ScopedHome;
namespace regadmin = krsoap::platform::regadmin;

ChildResult Reg(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), "reg");
  return RunKrsoap(std::move(args), input);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";
const std::string kKey = "HKLM\\SOFTWARE\\Orvane\\KRSoap";

TEST(RegTool, AddAndQueryEveryType) {
  ScopedHome home;
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "1"}).exit_code);
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "hex", "/t", "REG_DWORD", "/d", "0x1F"}).exit_code);
  EXPECT_EQ(0, Reg({"add", kKey, "/ve", "/d", "default text"}).exit_code);
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "exp", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x"}).exit_code);
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "multi", "/t", "REG_MULTI_SZ", "/d", "a\\0b"}).exit_code);
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "bin", "/t", "REG_BINARY", "/d", "00ff7F"}).exit_code);
  ChildResult q = Reg({"query", kKey});
  EXPECT_EQ(0, q.exit_code);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\n"
      "    soapTrace    REG_DWORD    0x1\n"
      "    hex    REG_DWORD    0x1f\n"
      "    (Default)    REG_SZ    default text\n"
      "    exp    REG_EXPAND_SZ    %HOME%\\x\n"
      "    multi    REG_MULTI_SZ    a\\0b\n"
      "    bin    REG_BINARY    00FF7F\n\n",
      q.out);

  // What the tool wrote is what the Win32 calls read in this process.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\KRSoap", 0, KEY_READ, &key));
  DWORD v = 0, cb = 4, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"soapTrace", nullptr, &type, reinterpret_cast<LPBYTE>(&v), &cb));
  EXPECT_EQ(REG_DWORD, type);
  EXPECT_EQ(1u, v);
  char16_t multi[16];
  cb = sizeof multi;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"multi", nullptr, &type, reinterpret_cast<LPBYTE>(multi), &cb));
  EXPECT_EQ(std::u16string(u"a\0b\0\0", 5), std::u16string(multi, cb / 2));
  RegCloseKey(key);

  q = Reg({"query", kKey, "/v", "SOAPTRACE"});
  EXPECT_EQ(0, q.exit_code);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\n    soapTrace    REG_DWORD    0x1\n\n", q.out);
  q = Reg({"query", kKey, "/v", "missing"});
  EXPECT_EQ(1, q.exit_code);
  EXPECT_EQ(kNotFound, q.err);
  q = Reg({"query", "HKLM\\SOFTWARE\\Nowhere"});
  EXPECT_EQ(1, q.exit_code);
  EXPECT_EQ(kNotFound, q.err);
}

TEST(RegTool, BadArgumentsAreSyntaxErrors) {
  ScopedHome home;
  // Bad data says what is wrong with it.
  auto add = [](const char* type, const char* data) {
    return Reg({"add", kKey, "/v", "x", "/t", type, "/d", data, "/f"});
  };
  const struct {
    const char* type;
    const char* data;
    const char* why;
  } kBad[] = {
      {"REG_DWORD", "abc", "REG_DWORD data must be a decimal or 0x-prefixed hexadecimal number, not \"abc\"."},
      {"REG_QWORD", "12abc", "REG_QWORD data must be a decimal or 0x-prefixed hexadecimal number, not \"12abc\"."},
      {"REG_DWORD", "4294967296", "REG_DWORD data 4294967296 is out of range (at most 0xFFFFFFFF)."},
      {"REG_BINARY", "abc", "REG_BINARY data must be an even number of hexadecimal digits, not \"abc\"."},
      {"REG_MULTI_SZ", "a\\0\\0b", "REG_MULTI_SZ data cannot hold an empty string"},
      {"REG_WHATEVER", "1", "Unknown type \"REG_WHATEVER\"."},
  };
  for (const auto& bad : kBad) {
    ChildResult r = add(bad.type, bad.data);
    EXPECT_EQ(1, r.exit_code) << bad.data;
    EXPECT_EQ(0u, r.err.find(std::string("ERROR: Invalid syntax. ") + bad.why)) << r.err;
  }
  EXPECT_EQ(1, Reg({"add", kKey, "/v", "x", "/ve"}).exit_code);
  ChildResult r = Reg({"add", "HKXX\\Software", "/v", "x"});
  EXPECT_EQ(1, r.exit_code);
  EXPECT_NE(std::string::npos, r.err.find("Invalid key name"));
  r = Reg({"frobnicate"});
  EXPECT_EQ(1, r.exit_code);
  // None of that created anything.
  EXPECT_EQ(1, Reg({"query", kKey}).exit_code);
}

// /?, -h and --help show the usage where a switch may stand; as the value of
// /v, /d or /t they are just that value.
TEST(RegTool, HelpOnlyWhereASwitchMayStand) {
  ScopedHome home;
  for (const char* help : {"/?", "-h", "--help"}) {
    ChildResult r = Reg({"add", kKey, "/f", help});
    EXPECT_EQ(0, r.exit_code) << help;
    EXPECT_EQ(0u, r.out.find("usage: krsoap reg add")) << help << ": " << r.out;
    EXPECT_EQ(0, Reg({"add", kKey, "/v", help, "/d", help, "/f"}).exit_code) << help;
  }
  EXPECT_EQ(1, Reg({"add", kKey, "/v", "x", "/t", "-h"}).exit_code);  // "-h" is no type
  ChildResult q = Reg({"query", kKey});
  EXPECT_EQ(0, q.exit_code);
  EXPECT_EQ(
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\n"
      "    /?    REG_SZ    /?\n"
      "    -h    REG_SZ    -h\n"
      "    --help    REG_SZ    --help\n\n",
      q.out);
}

TEST(RegTool, OverwriteAndDeleteAskUnlessForced) {
  ScopedHome home;
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "1"}).exit_code);
  ChildResult r = Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "2"}, "no\n");
  EXPECT_EQ(1, r.exit_code);
  EXPECT_NE(std::string::npos, r.out.find("canceled"));
  EXPECT_NE(std::string::npos, Reg({"query", kKey, "/v", "soapTrace"}).out.find("0x1\n"));
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "2"}, "yes\n").exit_code);
  EXPECT_NE(std::string::npos, Reg({"query", kKey, "/v", "soapTrace"}).out.find("0x2\n"));
  EXPECT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "3", "/f"}).exit_code);

  ASSERT_EQ(0, Reg({"add", kKey + "\\Sub\\Deeper", "/v", "x", "/d", "y"}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "other", "/d", "z"}).exit_code);
  EXPECT_EQ(1, Reg({"delete", kKey, "/v", "other"}, "\n").exit_code);
  EXPECT_EQ(0, Reg({"delete", kKey, "/v", "other", "/f"}).exit_code);
  EXPECT_EQ(1, Reg({"delete", kKey, "/v", "other", "/f"}).exit_code);
  EXPECT_EQ(0, Reg({"delete", kKey, "/va", "/f"}).exit_code);
  ChildResult q = Reg({"query", kKey});
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\\Sub\n\n", q.out);
  // A key goes with its whole subtree; a hive never goes.
  EXPECT_EQ(0, Reg({"delete", kKey + "\\Sub", "/f"}).exit_code);
  EXPECT_EQ(1, Reg({"query", kKey + "\\Sub\\Deeper"}).exit_code);
  EXPECT_EQ(1, Reg({"delete", "HKLM", "/f"}).exit_code);
  EXPECT_EQ(0, Reg({"query", kKey}).exit_code);
}

TEST(RegTool, ExportDeleteImportRoundTrip) {
  ScopedHome home;
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "10"}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey, "/ve", "/d", "quote \" and back\\slash"}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "na\"me", "/t", "REG_EXPAND_SZ", "/d", "%x%"}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey + "\\Sub", "/v", "multi", "/t", "REG_MULTI_SZ", "/d", "x\\0y"}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey + "\\Sub", "/v", "long", "/t", "REG_BINARY", "/d", std::string(200, 'a')}).exit_code);
  ASSERT_EQ(0, Reg({"add", kKey + "\\Sub", "/v", "unicode", "/d", "caf\xc3\xa9 \xe4\xb8\xad"}).exit_code);
  const std::string file = home.path() + "/out.reg";
  ASSERT_EQ(0, Reg({"export", kKey, file}).exit_code);
  const std::string first = ReadFile(file);
  EXPECT_EQ(0u, first.find("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap]\r\n"));
  EXPECT_NE(std::string::npos, first.find("\"soapTrace\"=dword:0000000a\r\n"));
  EXPECT_NE(std::string::npos, first.find("@=\"quote \\\" and back\\\\slash\"\r\n"));
  EXPECT_NE(std::string::npos, first.find(",\\\r\n  aa,"));  // long hex data wraps
  struct stat st;
  ASSERT_EQ(0, ::stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // Export again over the file only when told to.
  EXPECT_EQ(1, Reg({"export", kKey, file}, "n\n").exit_code);
  EXPECT_EQ(0, Reg({"export", kKey, file, "/y"}).exit_code);

  ASSERT_EQ(0, Reg({"delete", kKey, "/f"}).exit_code);
  ASSERT_EQ(1, Reg({"query", kKey}).exit_code);
  ChildResult r = Reg({"import", file});
  ASSERT_EQ(0, r.exit_code) << r.err;
  const std::string again = home.path() + "/again.reg";
  ASSERT_EQ(0, Reg({"export", kKey, again}).exit_code);
  EXPECT_EQ(first, ReadFile(again));
}

TEST(RegTool, MalformedImportNamesTheLineAndChangesNothing) {
  ScopedHome home;
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "keep", "/d", "me"}).exit_code);
  const std::string file = home.path() + "/bad.reg";
  WriteFile(file,
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n"
            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap]\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\r\n"
            "\"a\"=dword:00000001\r\n"
            "\"b\"=dword:xyz\r\n");
  ChildResult r = Reg({"import", file});
  EXPECT_EQ(1, r.exit_code);
  EXPECT_NE(std::string::npos, r.err.find("line 6")) << r.err;
  EXPECT_EQ(0, Reg({"query", kKey, "/v", "keep"}).exit_code);
  EXPECT_EQ(1, Reg({"query", "HKLM\\SOFTWARE\\Fresh"}).exit_code);

  // A UTF-16LE file with a byte-order mark reads as well as UTF-8.
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Wide]\r\n\"w\"=\"\u00e9t\u00e9\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  WriteFile(file, bytes);
  r = Reg({"import", file});
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_EQ("\nHKEY_CURRENT_USER\\Wide\n    w    REG_SZ    \xc3\xa9t\xc3\xa9\n\n", Reg({"query", "HKCU\\Wide"}).out);
}

// The parser on its own: each malformed input gives its line and no
// operations.
TEST(RegFileFormat, MalformedInputIsRejectedWithItsLine) {
  const std::string h = "Windows Registry Editor Version 5.00\r\n";
  struct Case {
    std::string text;
    int line;
  };
  const Case cases[] = {
      {"", 1},
      {"REGEDIT5\r\n", 1},
      {h + "\"v\"=\"x\"\r\n", 2},                                   // value before any key
      {h + "[HKLM\\A]\r\n\"v\"=\"unterminated\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=\"bad \\n escape\"\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=dword:123456789\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=hex:1,2,zz\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=hex(q):00\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=hex:00,\\\r\n  01,,02\r\n", 3},
      {h + "[HKLM\\A]\r\n\"v\"=text\r\n", 3},
      {h + "[HKLM\\A]\r\nv=\"x\"\r\n", 3},
      {h + "[HKXY\\A]\r\n", 2},
      {h + "[HKLM\\A\r\n", 2},
      {h + "[HKLM]\r\n", 2},
      {h + "[HKLM\\A\\\\B]\r\n", 2},
      {h + "[HKLM\\" + std::string(256, 'k') + "]\r\n", 2},
      {h + "[HKLM\\A]\r\n\"" + std::string(16384, 'n') + "\"=\"x\"\r\n", 3},
      {h + "[-HKLM\\A]\r\n\"v\"=\"x\"\r\n", 3},
  };
  for (const Case& c : cases) {
    std::vector<regadmin::RegFileOp> ops;
    std::string error;
    EXPECT_EQ(ERROR_INVALID_DATA, regadmin::ParseRegFile(c.text, &ops, &error)) << c.text.substr(0, 80);
    EXPECT_EQ(0u, error.find("line " + std::to_string(c.line) + ":")) << error;
    EXPECT_TRUE(ops.empty());
  }
}

// Text that would be stored other than written is malformed too: a NUL in
// a name (stored cut, it could land on another value), bytes that are not
// UTF-8, and in UTF-16 files lone surrogates and a last half unit.
TEST(RegFileFormat, TextThatWouldNotComeBackAsWrittenIsRejected) {
  const std::string h = "Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n";
  auto utf16 = [](const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
      bytes.push_back(static_cast<char>(c & 0xFF));
      bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
  };
  const std::u16string h16 = u"Windows Registry Editor Version 5.00\r\n[HKLM\\A]\r\n";
  struct Case {
    std::string text;
    int line;
  };
  const Case cases[] = {
      {h + std::string("\"keep\0x\"=\"y\"\r\n", 14), 3},
      {h + "\"v\"=\"ok\"\r\n\"\xFF\"=\"y\"\r\n", 4},
      {h + "\"v\"=\"\xC3\"\r\n", 3},
      {h + "\"v\"=\"\xED\xA0\x80\"\r\n", 3},             // a surrogate written as UTF-8
      {"\xEF\xBB\xBF" + h + "\"\xC0\xAF\"=\"y\"\r\n", 3},  // an overlong form
      {utf16(h16 + u"\"v\"=\"\xD800\"\r\n"), 3},
      {utf16(h16 + u"\"\xDC00x\"=\"y\"\r\n"), 3},
      {utf16(h16 + std::u16string(u"\"keep\0x\"=\"y\"\r\n", 14)), 3},
      {utf16(h16 + u"\"v\"=\"y\"\r\n") + "\x41", 4},
  };
  for (const Case& c : cases) {
    std::vector<regadmin::RegFileOp> ops;
    std::string error;
    EXPECT_EQ(ERROR_INVALID_DATA, regadmin::ParseRegFile(c.text, &ops, &error)) << c.text.substr(40);
    EXPECT_EQ(0u, error.find("line " + std::to_string(c.line) + ":")) << error;
    EXPECT_TRUE(ops.empty());
  }
  // Characters outside the BMP are whole in either encoding.
  std::vector<regadmin::RegFileOp> ops;
  std::string error;
  ASSERT_EQ(ERROR_SUCCESS, regadmin::ParseRegFile(utf16(h16 + u"\"\U0001F600\"=\"y\"\r\n"), &ops, &error)) << error;
  EXPECT_EQ("\xF0\x9F\x98\x80", ops.back().name.text);
}

TEST(RegTool, AValueNameHoldingNulImportsNothing) {
  ScopedHome home;
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "keep", "/d", "me"}).exit_code);
  const std::string file = home.path() + "/nul.reg";
  WriteFile(file, "Windows Registry Editor Version 5.00\r\n\r\n[" + std::string("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap") +
                      "]\r\n\"fresh\"=\"1\"\r\n" + std::string("\"keep\0x\"=\"other\"\r\n", 18));
  ChildResult r = Reg({"import", file});
  EXPECT_EQ(1, r.exit_code);
  EXPECT_NE(std::string::npos, r.err.find("line 5: a NUL character")) << r.err;
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\KRSoap\n    keep    REG_SZ    me\n\n", Reg({"query", kKey}).out);
}

TEST(RegFileFormat, EveryFormOfValueParses) {
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "; a comment\n"
      "[HKEY_CLASSES_ROOT\\Halvex.Thing]  \n"
      "@=\"Thing Class\"\n"
      "\"esc\"=\"a\\\\b\\\"c\"\n"
      "\"d\" = dword:0000000A\n"
      "\"h\"=hex:de,ad,\\\n"
      "   be,ef\n"
      "\"e\"=hex(2):25,00,00,00\n"
      "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\"empty\"=hex:\n"
      "\"gone\"=-\n"
      "@=-\n"
      "[-HKCU\\Old]\n";
  std::vector<regadmin::RegFileOp> ops;
  std::string error;
  ASSERT_EQ(ERROR_SUCCESS, regadmin::ParseRegFile(text, &ops, &error)) << error;
  ASSERT_EQ(11u, ops.size());
  EXPECT_EQ(regadmin::RegFileOp::kCreateKey, ops[0].kind);
  EXPECT_EQ("HKEY_CLASSES_ROOT\\Halvex.Thing", ops[0].key.display);
  EXPECT_EQ("", ops[1].name.text);
  EXPECT_EQ(std::string("T\0h\0i\0n\0g\0 \0C\0l\0a\0s\0s\0\0\0", 24), ops[1].data);
  EXPECT_EQ(std::string("a\0\\\0b\0\"\0c\0\0\0", 12), ops[2].data);
  EXPECT_EQ(REG_DWORD, ops[3].type);
  EXPECT_EQ(std::string("\x0a\0\0\0", 4), ops[3].data);
  EXPECT_EQ(REG_BINARY, ops[4].type);
  EXPECT_EQ("\xde\xad\xbe\xef", ops[4].data);
  EXPECT_EQ(REG_EXPAND_SZ, ops[5].type);
  EXPECT_EQ(REG_QWORD, ops[6].type);
  EXPECT_EQ(8u, ops[6].data.size());
  EXPECT_TRUE(ops[7].data.empty());
  EXPECT_EQ(regadmin::RegFileOp::kDeleteValue, ops[8].kind);
  EXPECT_EQ("gone", ops[8].name.text);
  EXPECT_EQ(regadmin::RegFileOp::kDeleteValue, ops[9].kind);
  EXPECT_EQ(regadmin::RegFileOp::kDeleteKey, ops[10].kind);
}

TEST(SetupStep, WritesWorkPathAndKeepsAnOperatorsTraceSetting) {
  ScopedHome home;
  ChildResult r = RunKrsoap({"setup"});
  ASSERT_EQ(0, r.exit_code) << r.err;
  struct stat st;
  ASSERT_EQ(0, ::stat((home.path() + "/Errors").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  EXPECT_EQ("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\Korrin\\CurrentVersion\n    WorkPath    REG_SZ    " + home.path() +
                "\n\n",
            Reg({"query", "HKLM\\SOFTWARE\\Orvane\\Korrin\\CurrentVersion"}).out);
  EXPECT_NE(std::string::npos, Reg({"query", kKey, "/v", "soapTrace"}).out.find("REG_DWORD    0x0\n"));

  ASSERT_EQ(0, Reg({"add", kKey, "/v", "soapTrace", "/t", "REG_DWORD", "/d", "1", "/f"}).exit_code);
  r = RunKrsoap({"setup"});
  ASSERT_EQ(0, r.exit_code) << r.err;
  EXPECT_NE(std::string::npos, Reg({"query", kKey, "/v", "soapTrace"}).out.find("REG_DWORD    0x1\n"));

  // The trace facility's reads: WorkPath into 512 bytes, soapTrace as 4.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvane\\Korrin\\CurrentVersion", 0, KEY_READ, &key));
  char16_t path[256] = {};
  DWORD cb = sizeof path;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"WorkPath", nullptr, nullptr, reinterpret_cast<LPBYTE>(path), &cb));
  RegCloseKey(key);
  EXPECT_EQ((home.path().size() + 1) * 2, cb);
}


// A data root others could change, or a damaged registry, is what every
// command says, in one line on standard error naming the directory or the
// file, with exit status 1; nothing is written.
TEST(StoreFaults, EveryCommandSaysSoOnceAndChangesNothing) {
  ScopedHome home;
  ASSERT_EQ(0, Reg({"add", kKey, "/v", "keep", "/d", "me"}).exit_code);
  ASSERT_EQ(0, RunKrsoap({"qm", "create", "QM1"}).exit_code);
  const std::vector<std::vector<std::string>> commands = {
      {"setup"}, {"qm", "list"}, {"qm", "define", "QM1", "Q"}, {"reg", "query", kKey},
      {"serve", "--config", home.path() + "/host.conf"}, {"trace", "x"}};
  auto expect_refused = [&](const std::string& what) {
    for (const std::vector<std::string>& args : commands) {
      ChildResult r = RunKrsoap(args);
      EXPECT_EQ(1, r.exit_code) << args[0];
      EXPECT_NE(std::string::npos, r.err.find(what)) << r.err;
      EXPECT_EQ(r.err.size() - 1, r.err.find('\n')) << r.err;
      EXPECT_EQ("", r.out) << args[0];
    }
  };
  ASSERT_EQ(0, ::chmod(home.path().c_str(), 0777));
  expect_refused(home.path() + " is writable by others");
  ASSERT_EQ(0, ::chmod(home.path().c_str(), 0700));

  // Emptied while its log still holds the data: not a fresh store to start
  // over in, which would throw the log away.
  const std::string db = home.path() + "/registry.db";
  const std::string original = ReadFile(db), wal = ReadFile(db + "-wal");
  WriteFile(db, "");
  expect_refused("the registry " + db + " is corrupt");
  EXPECT_EQ("", ReadFile(db));
  EXPECT_EQ(wal, ReadFile(db + "-wal"));
  // Cut short after everything was copied into it.
  WriteFile(db, original);
  sqlite3* handle = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(db.c_str(), &handle));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(handle, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr));
  sqlite3_close(handle);
  const std::string cut = ReadFile(db).substr(0, 8192);
  WriteFile(db, cut);
  expect_refused("the registry " + db + " is corrupt");
  EXPECT_EQ(cut, ReadFile(db));
}
}  // namespace
