// "krsoap version" on the real module by path and by module name, on a copy
// whose path holds a quote, and on input that is no module: a missing file,
// a text file, a directory, a module without resources, a quoted name, bytes
// that are not UTF-8, a control character.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/server_packaging/packaging_test_util.h"
#include "tests/support/test_home.h"

namespace krsoap::test {
namespace {

void ExpectHalvexVersion(const std::string& out) {
  EXPECT_NE(std::string::npos, out.find("String 100         halvex\n")) << out;
  EXPECT_NE(std::string::npos, out.find("FileVersion        1.0.0.1\n")) << out;
  EXPECT_NE(std::string::npos, out.find("ProductVersion     1.0.0.1\n")) << out;
  EXPECT_NE(std::string::npos, out.find("FileDescription    halvex Module\n")) << out;
  EXPECT_NE(std::string::npos, out.find("InternalName       halvex\n")) << out;
  EXPECT_NE(std::string::npos, out.find("OriginalFilename   halvex.DLL\n")) << out;
  EXPECT_NE(std::string::npos, out.find("OLESelfRegister    (present)\n")) << out;
}

TEST(VersionToolTest, ShowsTheNameAndVersionBlockByPathAndByModuleName) {
  ScopedHome home;
  std::string out;
  ASSERT_EQ(0, RunTool({"version", LibDir() + "/libhalvex.so"}, &out)) << out;
  ExpectHalvexVersion(out);
  EXPECT_NE(std::string::npos, out.find("Module             " + LibDir() + "/libhalvex.so\n")) << out;
  // The Windows module name and the bare name map to the same library.
  for (const char* name : {"halvex.DLL", "halvex"}) {
    ASSERT_EQ(0, RunTool({"version", name}, &out)) << name << "\n" << out;
    ExpectHalvexVersion(out);
    EXPECT_NE(std::string::npos, out.find(LibDir() + "/libhalvex.so")) << out;
  }
  // A copy in a directory whose name has a quote is read like any path.
  const std::string dir = home.path() + "/it's \"here\"";
  ASSERT_EQ(0, ::mkdir(dir.c_str(), 0700));
  ASSERT_TRUE(CopyFile(LibDir() + "/libhalvex.so", dir + "/libhalvex.so"));
  ASSERT_EQ(0, RunTool({"version", dir + "/libhalvex.so"}, &out)) << out;
  ExpectHalvexVersion(out);
}

TEST(VersionToolTest, InputThatIsNoReadableModuleIsReportedWithoutACrash) {
  ScopedHome home;
  const std::string text = home.path() + "/notes.txt";
  ASSERT_TRUE(WriteBytes(text, "not a module\n"));
  const std::string empty = home.path() + "/empty.so";
  ASSERT_TRUE(WriteBytes(empty, ""));
  struct Case {
    std::string arg;
    const char* message;
  } cases[] = {
      {home.path() + "/absent/libhalvex.so", "no such module"},
      {"no-such-module.DLL", "no such module"},
      {text, "not a loadable module"},
      {empty, "not a loadable module"},
      {home.path() + "/", "not a loadable module"},
      {"\"" + LibDir() + "/libhalvex.so\"", "no such module"},
      {"'halvex.DLL'", "no such module"},
      {LibDir() + "/libkrplatform.so", "carries no resources"},
      {std::string("lib\xff\xfehalvex.so"), "not valid UTF-8"},
      {std::string("halvex\n.DLL"), "control character"},
      {std::string(5000, 'a'), "krsoap version"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(1, RunTool({"version", c.arg}, &out)) << c.arg << "\n" << out;
    EXPECT_NE(std::string::npos, out.find(c.message)) << c.arg << "\n" << out;
    // Odd bytes of the name are shown escaped, never passed to the terminal.
    EXPECT_EQ(std::string::npos, out.find('\xff')) << out;
  }
  std::string out;
  EXPECT_EQ(2, RunTool({"version"}, &out)) << out;
  EXPECT_EQ(2, RunTool({"version", "a", "b"}, &out)) << out;
  EXPECT_EQ(2, RunTool({"version", ""}, &out)) << out;
}

}  // namespace
}  // namespace krsoap::test
