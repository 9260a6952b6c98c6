// The registrar against the real registry store: register and unregister
// rules, and malformed scripts that must fail without touching anything.
#include <string>

#include "platform/com/registrar.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

using com::RegistrarMode;
using com::RunRegistryScript;

const char kClassScript[] = R"(
HKCR
{
	Test.Thing.1 = s 'Thing Class'
	{
		CLSID = s '{11111111-2222-3333-4444-555555555555}'
	}
	Test.Thing = s 'Thing Class'
	{
		CLSID = s '{11111111-2222-3333-4444-555555555555}'
		CurVer = s 'Test.Thing.1'
	}
	NoRemove CLSID
	{
		ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Thing Class'
		{
			ProgID = s 'Test.Thing.1'
			'Programmable'
			InprocServer32 = s '%MODULE%'
			{
				val ThreadingModel = s 'Free'
			}
			'TypeLib' = s '{AAAAAAAA-2222-3333-4444-555555555555}'
		}
	}
}
)";
const char kClsidKey[] = "CLSID\\{11111111-2222-3333-4444-555555555555}";

class RegistrarTest : public ComTest {
 protected:
  HRESULT Register(const std::string& script, const std::string& module = "/opt/it's here/libthing.so") {
    return RunRegistryScript(script, {{"MODULE", module}}, RegistrarMode::kRegister, &error_);
  }
  HRESULT Unregister(const std::string& script) {
    return RunRegistryScript(script, {{"MODULE", "/opt/libthing.so"}}, RegistrarMode::kUnregister, &error_);
  }
  std::string error_;
};

TEST_F(RegistrarTest, RegisterWritesKeysValuesAndTheModulePathWithQuotes) {
  ASSERT_EQ(S_OK, Register(kClassScript)) << error_;
  EXPECT_EQ("Thing Class", ClassesValue("Test.Thing.1"));
  EXPECT_EQ("{11111111-2222-3333-4444-555555555555}", ClassesValue("Test.Thing.1\\CLSID"));
  EXPECT_EQ("Test.Thing.1", ClassesValue("Test.Thing\\CurVer"));
  EXPECT_EQ("Thing Class", ClassesValue(kClsidKey));
  EXPECT_TRUE(ClassesKeyExists(std::string(kClsidKey) + "\\Programmable"));
  // %MODULE%'s quote is doubled for the script and read back as one quote.
  EXPECT_EQ("/opt/it's here/libthing.so", ClassesValue(std::string(kClsidKey) + "\\InprocServer32"));
  EXPECT_EQ("Free", ClassesValue(std::string(kClsidKey) + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ("{AAAAAAAA-2222-3333-4444-555555555555}", ClassesValue(std::string(kClsidKey) + "\\TypeLib"));
}

TEST_F(RegistrarTest, RegisteringTwiceLeavesOneFreshSubtree) {
  ASSERT_EQ(S_OK, Register(kClassScript));
  CreateClassesKey(std::string(kClsidKey) + "\\Stale");
  ASSERT_EQ(S_OK, Register(kClassScript));
  // ForceRemove dropped the old subtree first.
  EXPECT_FALSE(ClassesKeyExists(std::string(kClsidKey) + "\\Stale"));
  EXPECT_EQ("Free", ClassesValue(std::string(kClsidKey) + "\\InprocServer32", "ThreadingModel"));
}

TEST_F(RegistrarTest, ForceRemoveNeverDeletesClsidOrTypeLib) {
  CreateClassesKey("CLSID\\{99999999-0000-0000-0000-000000000000}");
  CreateClassesKey("TypeLib\\Other");
  ASSERT_EQ(S_OK, Register("HKCR { ForceRemove CLSID { X = s 'y' } ForceRemove TypeLib { Y } }"));
  EXPECT_TRUE(ClassesKeyExists("CLSID\\{99999999-0000-0000-0000-000000000000}"));
  EXPECT_TRUE(ClassesKeyExists("TypeLib\\Other"));
  EXPECT_EQ("y", ClassesValue("CLSID\\X"));
}

TEST_F(RegistrarTest, UnregisterRemovesWhatItListedAndKeepsClsidAndForeignSubkeys) {
  ASSERT_EQ(S_OK, Register(kClassScript));
  ASSERT_EQ(S_OK, Unregister(kClassScript)) << error_;
  EXPECT_FALSE(ClassesKeyExists("Test.Thing.1"));
  EXPECT_FALSE(ClassesKeyExists("Test.Thing"));
  EXPECT_FALSE(ClassesKeyExists(kClsidKey));
  EXPECT_TRUE(ClassesKeyExists("CLSID"));  // NoRemove, even when empty

  // Another program's subkeys keep their parents.
  ASSERT_EQ(S_OK, Register(kClassScript));
  CreateClassesKey(std::string(kClsidKey) + "\\Foreign");
  CreateClassesKey("Test.Thing\\Extra");
  ASSERT_EQ(S_OK, Unregister(kClassScript));
  EXPECT_TRUE(ClassesKeyExists(std::string(kClsidKey) + "\\Foreign"));
  EXPECT_FALSE(ClassesKeyExists(std::string(kClsidKey) + "\\InprocServer32"));
  EXPECT_FALSE(ClassesKeyExists(std::string(kClsidKey) + "\\ProgID"));
  EXPECT_TRUE(ClassesKeyExists("Test.Thing\\Extra"));
  EXPECT_FALSE(ClassesKeyExists("Test.Thing\\CurVer"));
  EXPECT_FALSE(ClassesKeyExists("Test.Thing.1"));

  // Unregistering what is not there succeeds and changes nothing.
  EXPECT_EQ(S_OK, Unregister("HKCR { Missing { Deeper { val V = s 'x' } } }"));
}

TEST_F(RegistrarTest, UnregisterDeletesListedValuesAndHonoursNoRemove) {
  ASSERT_EQ(S_OK, Register("HKLM { NoRemove Software { NoRemove Keep = s 'k' { val A = s '1' val B = s '2' } } }"));
  ASSERT_EQ(S_OK, Unregister("HKLM { NoRemove Software { NoRemove Keep { val A = s '1' } } }"));
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Keep", 0, KEY_READ, &h));
  char buf[16];
  DWORD size = sizeof buf;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(h, "A", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  size = sizeof buf;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(h, "B", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
  RegCloseKey(h);
}

TEST_F(RegistrarTest, RootNamesInShortAndLongFormsAndAnyCase) {
  ASSERT_EQ(S_OK, Register("HKEY_CLASSES_ROOT { A = s '1' } hkcu { B = s '2' } HKEY_LOCAL_MACHINE { C }"));
  EXPECT_EQ("1", ClassesValue("A"));
  HKEY h = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "B", 0, KEY_READ, &h));
  if (h) RegCloseKey(h);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "C", 0, KEY_READ, &h));
  if (h) RegCloseKey(h);
}

// Every malformed script fails as a whole: the good entries before the fault
// are not applied either.
TEST_F(RegistrarTest, MalformedScriptsFailWithDispExceptionAndApplyNothing) {
  const std::string good = "HKCR { Applied = s 'no' } ";
  const char* faults[] = {
      "HKCR { A { B }",                        // missing closing brace
      "HKCR { A } }",                          // extra closing brace
      "HKCR { A = s 'unterminated }",          // stray quote
      "HKCR { it's = s 'x' }",                 // quote inside a name
      "HKCR { 'A'B = s 'x' }",                 // text glued to a quoted name
      "HKCR { Bad\\Key = s 'x' }",             // backslash in a key name
      "HKCR { 'Bad\\Quoted' }",                // backslash in a quoted key name
      "HKCR { A = d '1' }",                    // value type other than s
      "HKCR { A = s }",                        // missing text
      "HKCR { A = 'x' }",                      // missing type
      "HKCR { val = s 'x' }",                  // val without a name
      "HKXX { A }",                            // unknown root
      "{ A }",                                 // no root
      "HKCR A",                                // root without a block
      "HKCR { A = s '%UNKNOWN%' }",            // unknown variable
      "HKCR { A = s '50% off' }",              // unterminated variable
      "HKCR { NoRemove }",                     // keyword without a name
  };
  for (const char* fault : faults) {
    const std::string script = good + fault;
    EXPECT_EQ(DISP_E_EXCEPTION, Register(script)) << fault;
    EXPECT_FALSE(error_.empty()) << fault;
    EXPECT_FALSE(ClassesKeyExists("Applied")) << fault;
  }
  std::string with_nul = good + "HKCR { A }";
  with_nul.insert(with_nul.size() - 2, 1, '\0');
  EXPECT_EQ(DISP_E_EXCEPTION, Register(with_nul));
  EXPECT_FALSE(ClassesKeyExists("Applied"));

  // A backslash smuggled in through a replacement variable.
  EXPECT_EQ(DISP_E_EXCEPTION, RunRegistryScript(good + "HKCR { %NAME% }", {{"NAME", "CLSID\\Evil"}},
                                                RegistrarMode::kRegister));
  EXPECT_FALSE(ClassesKeyExists("Applied"));
}

TEST_F(RegistrarTest, HostileSizesAreRefused) {
  std::string deep = "HKCR {";
  for (int i = 0; i < 10000; ++i) deep += " K {";
  for (int i = 0; i < 10000; ++i) deep += " }";
  deep += " }";
  EXPECT_EQ(DISP_E_EXCEPTION, Register(deep));
  EXPECT_FALSE(ClassesKeyExists("K"));

  std::string long_name = "HKCR { " + std::string(256, 'x') + " }";
  EXPECT_EQ(DISP_E_EXCEPTION, Register(long_name));

  std::string huge = "HKCR { A = s '" + std::string(2u << 20, 'a') + "' }";
  EXPECT_EQ(DISP_E_EXCEPTION, Register(huge));
}

TEST_F(RegistrarTest, QuotedNamesAndDoubledQuotesInTexts) {
  ASSERT_EQ(S_OK, Register("HKCR { 'Two Words' = s 'it''s' { val 'My Value' = s '''q''' } }"));
  EXPECT_EQ("it's", ClassesValue("Two Words"));
  EXPECT_EQ("'q'", ClassesValue("Two Words", "My Value"));
}

}  // namespace
}  // namespace krsoap::test
