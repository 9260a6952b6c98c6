// corvel as a packaged component: what registration writes and removes, the
// interfaces each class answers, IDispatch on the class interface and on
// ISoapConnector, and the module's version block through "krsoap version".
#include "tests/client/client_test_util.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

struct ClassInfo {
  const CLSID* clsid;
  const char* text;
  const char* progid;
} const kClasses[] = {
    {&CLSID_KRServerConnector, "{8FF40939-E2B1-4BF0-9F12-B1660AF34E9F}", "KRSoapClient.KRServerConnector"},
    {&CLSID_KRClientConnector, "{209C5B23-DEE2-41C6-8EB8-33C6184C12AD}", "KRSoapClient.KRClientConnector"},
    {&CLSID_KRStream, "{99A8DD69-CCEB-4040-ACB9-B6E31D2A2D18}", "KRSoapClient.KRStream"},
};

class PackagingTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    for (const char* module : {"libkrxml.so", "libkrsoap.so", "libcorvel.so"}) {
      ASSERT_EQ(S_OK, RegisterModule(module)) << module;
    }
  }
};

TEST_F(PackagingTest, RegistrationMakesThreeApartmentClassesAndUnregistrationRemovesThem) {
  for (const ClassInfo& c : kClasses) {
    const std::string p = c.progid, key = std::string("CLSID\\") + c.text;
    EXPECT_EQ(p + ".1", ClassesValue(p + "\\CurVer"));
    EXPECT_EQ(c.text, ClassesValue(p + ".1\\CLSID"));
    EXPECT_EQ(LibDir() + "/libcorvel.so", ClassesValue(key + "\\InprocServer32"));
    EXPECT_EQ("Apartment", ClassesValue(key + "\\InprocServer32", "ThreadingModel")) << p;
    EXPECT_EQ(p + ".1", ClassesValue(key + "\\ProgID"));
    CLSID found{};
    ASSERT_EQ(S_OK, CLSIDFromProgID(platform::Utf8ToUtf16(p).c_str(), &found)) << p;
    EXPECT_TRUE(IsEqualCLSID(*c.clsid, found)) << p;
  }
  // The version-independent ProgID is answered through CurVer, not through
  // a CLSID of its own.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_CLASSES_ROOT, "KRSoapClient.KRClientConnector\\CLSID", 0, KEY_SET_VALUE, &key));
  const char other[] = "{99A8DD69-CCEB-4040-ACB9-B6E31D2A2D18}";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other));
  RegCloseKey(key);
  com::internal::NoteRegistrationChanged();
  CLSID found{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"KRSoapClient.KRClientConnector", &found));
  EXPECT_EQ("{209C5B23-DEE2-41C6-8EB8-33C6184C12AD}", com::GuidToUtf8(found));

  int status = -1;
  const std::string out = Shell(BinDir() + "/krsoap unregister " + LibDir() + "/libcorvel.so 2>&1", &status);
  ASSERT_EQ(0, status) << out;
  com::internal::NoteRegistrationChanged();
  for (const ClassInfo& c : kClasses) {
    const std::string p = c.progid;
    EXPECT_FALSE(ClassesKeyExists(p)) << p;
    EXPECT_FALSE(ClassesKeyExists(p + ".1")) << p;
    EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + c.text)) << p;
    EXPECT_TRUE(FAILED(CLSIDFromProgID(platform::Utf8ToUtf16(p).c_str(), &found))) << p;
    Ptr<IUnknown> object;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(*c.clsid, nullptr, CLSCTX_ALL, IID_IUnknown, object.OutVoid()));
  }
}

TEST_F(PackagingTest, ConnectorsAnswerTheirInterfacesAndDispatchBothWays) {
  for (const CLSID* clsid : {&CLSID_KRServerConnector, &CLSID_KRClientConnector}) {
    Ptr<IUnknown> object;
    ASSERT_EQ(S_OK, CoCreateInstance(*clsid, nullptr, CLSCTX_ALL, IID_IUnknown, object.OutVoid()));
    Ptr<ISoapConnector> connector;
    EXPECT_EQ(S_OK, object.As(&connector));
    Ptr<IStream> stream;
    EXPECT_EQ(E_NOINTERFACE, object.As(&stream));
    const IID& own = clsid == &CLSID_KRServerConnector ? IID_IKRServerConnector : IID_IKRClientConnector;
    Ptr<IUnknown> own_itf;
    EXPECT_EQ(S_OK, object->QueryInterface(own, own_itf.OutVoid()));

    // IDispatch is the class's own interface, which has no members.
    Ptr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object.As(&dispatch));
    Ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0x409, info.Out()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(own, attr->guid));
    EXPECT_EQ(0, attr->cFuncs);
    info->ReleaseTypeAttr(attr);
    const char16_t* names[] = {u"Property"};
    DISPID id = 0;
    EXPECT_TRUE(FAILED(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0x409, &id)));

    // Late binding on the ISoapConnector vtable goes through the toolkit's
    // type library: Property("LastErrorCode") is a VT_I4.
    IDispatch* soap = connector.get();
    ASSERT_EQ(S_OK, soap->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names), 1, 0x409, &id));
    EXPECT_EQ(3, id);
    Bstr name("LastErrorCode");
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = name.get();
    DISPPARAMS params{&arg, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, soap->Invoke(id, IID_NULL, 0x409, DISPATCH_PROPERTYGET, &params, &result, nullptr, nullptr));
    EXPECT_EQ(VT_I4, result.vt);
    EXPECT_EQ(0, result.lVal);
    VariantClear(&result);
  }
  Ptr<IUnknown> stream;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRStream, nullptr, CLSCTX_ALL, IID_IUnknown, stream.OutVoid()));
  Ptr<IStream> as_stream;
  EXPECT_EQ(S_OK, stream.As(&as_stream));
  Ptr<ISoapConnector> as_connector;
  EXPECT_EQ(E_NOINTERFACE, stream.As(&as_connector));
}

TEST(CorvelVersionTest, TheToolShowsTheModulesVersionBlock) {
  ScopedHome home;
  int status = -1;
  const std::string out = Shell(BinDir() + "/krsoap version corvel.DLL 2>&1", &status);
  EXPECT_EQ(0, status) << out;
  for (const char* line : {"String 100         corvel\n", "FileVersion        1.0.0.1\n", "ProductVersion     1.0.0.1\n",
                           "FileDescription    corvel Module\n", "InternalName       corvel\n",
                           "OriginalFilename   corvel.DLL\n", "OLESelfRegister    (present)\n"}) {
    EXPECT_NE(std::string::npos, out.find(line)) << line << out;
  }
  EXPECT_NE(std::string::npos, out.find(LibDir() + "/libcorvel.so")) << out;
}

}  // namespace
}  // namespace krsoap::test
