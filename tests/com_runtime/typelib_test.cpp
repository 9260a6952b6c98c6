// Type libraries: the component's embedded library read back through
// ITypeLib/ITypeInfo, ".tlb" files, registration records, and damaged or
// hostile input that must fail cleanly.
#include <fstream>
#include <vector>

#include "krtestcomp.h"
#include "platform/com/resources.h"
#include "platform/com/typelib.h"
#include "tests/com_runtime/com_test_util.h"

namespace krsoap::test {
namespace {

using platform::Utf8ToUtf16;

class TypeLibTest : public ComTest {
 protected:
  // The component's TYPELIB 1 bytes.
  std::vector<uint8_t> EmbeddedBytes() {
    com::ServerModule module;
    EXPECT_EQ(S_OK, com::LoadServerModule(Utf8ToUtf16(ComponentPath()), &module));
    const uint8_t* data = nullptr;
    size_t size = 0;
    EXPECT_TRUE(com::FindResource(com::ModuleResourceTable(module.handle()), "TYPELIB", 1, &data, &size));
    return std::vector<uint8_t>(data, data + size);
  }
  std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = home_.path() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static HRESULT Load(const std::string& path, Ptr<ITypeLib>* lib) {
    return LoadTypeLib(Utf8ToUtf16(path).c_str(), lib->Out());
  }
};

TEST_F(TypeLibTest, EmbeddedLibraryDescribesTheInterfacesAndClasses) {
  Ptr<ITypeLib> lib;
  ASSERT_EQ(S_OK, Load(ComponentPath(), &lib));
  EXPECT_EQ(4u, lib->GetTypeInfoCount());
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_EQ(LIBID_KRTESTCOMPLib, attr->guid);
  EXPECT_EQ(0x409u, attr->lcid);
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(SYS_WIN32, attr->syskind);
  lib->ReleaseTLibAttr(attr);
  com::BstrPtr name, doc;
  ASSERT_EQ(S_OK, lib->GetDocumentation(-1, name.Out(), doc.Out(), nullptr, nullptr));
  EXPECT_EQ("KRTESTCOMPLib", name.Utf8());
  EXPECT_EQ("krtestcomp 1.0 Type Library", doc.Utf8());

  Ptr<ITypeInfo> calc;
  ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(IID_IKRCalc, calc.Out()));
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(S_OK, calc->GetTypeAttr(&ta));
  EXPECT_EQ(TKIND_INTERFACE, ta->typekind);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  EXPECT_EQ(11, ta->cFuncs);
  EXPECT_EQ(1, ta->cImplTypes);
  calc->ReleaseTypeAttr(ta);

  // Add: slot 7 (after IDispatch), three parameters, the last [out, retval].
  FUNCDESC* fd = nullptr;
  ASSERT_EQ(S_OK, calc->GetFuncDesc(0, &fd));
  EXPECT_EQ(1, fd->memid);
  EXPECT_EQ(INVOKE_FUNC, fd->invkind);
  EXPECT_EQ(static_cast<SHORT>(7 * sizeof(void*)), fd->oVft);
  ASSERT_EQ(3, fd->cParams);
  EXPECT_EQ(VT_I4, fd->lprgelemdescParam[0].tdesc.vt);
  EXPECT_EQ(VT_PTR, fd->lprgelemdescParam[2].tdesc.vt);
  EXPECT_EQ(VT_I4, fd->lprgelemdescParam[2].tdesc.lptdesc->vt);
  EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, fd->lprgelemdescParam[2].paramdesc.wParamFlags);
  calc->ReleaseFuncDesc(fd);

  // The parent is IDispatch, reached through the reference.
  HREFTYPE href = 0;
  ASSERT_EQ(S_OK, calc->GetRefTypeOfImplType(0, &href));
  Ptr<ITypeInfo> parent;
  ASSERT_EQ(S_OK, calc->GetRefTypeInfo(href, parent.Out()));
  ASSERT_EQ(S_OK, parent->GetTypeAttr(&ta));
  EXPECT_EQ(IID_IDispatch, ta->guid);
  parent->ReleaseTypeAttr(ta);

  // The coclass names its default interface.
  Ptr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(CLSID_KRCalculator, coclass.Out()));
  INT flags = 0;
  ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
  EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
  ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &href));
  Ptr<ITypeInfo> def;
  ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(href, def.Out()));
  ASSERT_EQ(S_OK, def->GetDocumentation(MEMBERID_NIL, name.Out(), doc.Out(), nullptr, nullptr));
  EXPECT_EQ("IKRCalc", name.Utf8());
  EXPECT_EQ("IKRCalc Interface", doc.Utf8());

  // Names resolve without regard to case; parameters by position.
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"dIVIDE"), const_cast<LPOLESTR>(u"B"), const_cast<LPOLESTR>(u"nope")};
  MEMBERID ids[3];
  EXPECT_EQ(DISP_E_UNKNOWNNAME, calc->GetIDsOfNames(names, 3, ids));
  EXPECT_EQ(4, ids[0]);
  EXPECT_EQ(1, ids[1]);
  EXPECT_EQ(MEMBERID_NIL, ids[2]);
}

TEST_F(TypeLibTest, TlbFileRoundTripsAndDamagedFilesFailCleanly) {
  std::vector<uint8_t> bytes = EmbeddedBytes();
  ASSERT_GT(bytes.size(), 64u);
  Ptr<ITypeLib> lib;
  ASSERT_EQ(S_OK, Load(WriteFile("good.tlb", bytes), &lib));
  EXPECT_EQ(4u, lib->GetTypeInfoCount());

  EXPECT_EQ(TYPE_E_CANTLOADLIBRARY, Load(home_.path() + "/missing.tlb", &lib));
  EXPECT_EQ(TYPE_E_UNSUPFORMAT, Load(WriteFile("text.tlb", {'h', 'e', 'l', 'l', 'o', '\n'}), &lib));
  EXPECT_EQ(TYPE_E_UNSUPFORMAT, Load(WriteFile("empty.tlb", {}), &lib));

  std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2));
  EXPECT_EQ(TYPE_E_INVDATAREAD, Load(WriteFile("half.tlb", truncated), &lib));

  std::vector<uint8_t> later = bytes;
  later[4] = 9;  // a format version from the future
  EXPECT_EQ(TYPE_E_UNSUPFORMAT, Load(WriteFile("later.tlb", later), &lib));

  std::vector<uint8_t> trailing = bytes;
  trailing.push_back(0);
  EXPECT_EQ(TYPE_E_INVDATAREAD, Load(WriteFile("trailing.tlb", trailing), &lib));
}

// Every prefix, and every single-byte corruption, is either read or refused;
// nothing crashes or reads past the buffer (the sanitizer builds check).
TEST_F(TypeLibTest, EveryTruncationAndCorruptionIsHandled) {
  const std::vector<uint8_t> bytes = EmbeddedBytes();
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
    Ptr<ITypeLib> lib;
    HRESULT hr = com::LoadTypeLibFromBytes(prefix.data(), prefix.size(), lib.Out());
    ASSERT_TRUE(hr == TYPE_E_INVDATAREAD || hr == TYPE_E_UNSUPFORMAT) << n;
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}}) {
      std::vector<uint8_t> bad = bytes;
      bad[i] = value;
      Ptr<ITypeLib> lib;
      HRESULT hr = com::LoadTypeLibFromBytes(bad.data(), bad.size(), lib.Out());
      if (FAILED(hr)) {
        ASSERT_TRUE(hr == TYPE_E_INVDATAREAD || hr == TYPE_E_UNSUPFORMAT) << i;
        continue;
      }
      // What is read must be usable.
      for (UINT t = 0; t < lib->GetTypeInfoCount(); ++t) {
        Ptr<ITypeInfo> info;
        ASSERT_EQ(S_OK, lib->GetTypeInfo(t, info.Out()));
        TYPEATTR* ta = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&ta));
        for (UINT f = 0; f < ta->cFuncs; ++f) {
          FUNCDESC* fd = nullptr;
          ASSERT_EQ(S_OK, info->GetFuncDesc(f, &fd));
          info->ReleaseFuncDesc(fd);
        }
        info->ReleaseTypeAttr(ta);
      }
    }
  }
  // Counts far beyond the data.
  com::tlb::Library big;
  big.name = u"X";
  std::vector<uint8_t> encoded = com::tlb::Encode(big);
  const size_t count_at = encoded.size() - 4;
  for (int k = 0; k < 4; ++k) encoded[count_at + k] = 0xFF;
  Ptr<ITypeLib> lib;
  EXPECT_EQ(TYPE_E_INVDATAREAD, com::LoadTypeLibFromBytes(encoded.data(), encoded.size(), lib.Out()));
}

TEST_F(TypeLibTest, RegistrationWritesTheRecordsAndUnregistrationRemovesThem) {
  Ptr<ITypeLib> lib;
  ASSERT_EQ(S_OK, Load(ComponentPath(), &lib));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0, lib.Out()));
  ASSERT_EQ(S_OK, Load(ComponentPath(), &lib));
  const std::u16string path = Utf8ToUtf16(ComponentPath());
  const std::u16string dir = Utf8ToUtf16(LibDir());
  ASSERT_EQ(S_OK, RegisterTypeLib(lib.get(), path.c_str(), dir.c_str()));

  const std::string libkey = "TypeLib\\{17AB6ACF-0559-453F-8370-C4F50A87DC9F}\\1.0";
  EXPECT_EQ("krtestcomp 1.0 Type Library", ClassesValue(libkey));
  EXPECT_EQ(ComponentPath(), ClassesValue(libkey + "\\409\\win32"));
  EXPECT_EQ("0", ClassesValue(libkey + "\\FLAGS"));
  EXPECT_EQ(LibDir(), ClassesValue(libkey + "\\HELPDIR"));
  const std::string itf = "Interface\\{0F84D71D-411A-4085-AAE3-8F761FCCD5A9}";
  EXPECT_EQ("IKRCalc", ClassesValue(itf));
  EXPECT_EQ("{00020424-0000-0000-C000-000000000046}", ClassesValue(itf + "\\ProxyStubClsid32"));
  EXPECT_EQ("{17AB6ACF-0559-453F-8370-C4F50A87DC9F}", ClassesValue(itf + "\\TypeLib"));
  EXPECT_EQ("1.0", ClassesValue(itf + "\\TypeLib", "Version"));
  // A plain interface is not an automation interface: no entry.
  EXPECT_FALSE(ClassesKeyExists("Interface\\{1178D565-61BD-4B51-92B7-A955D4366074}"));

  // Found by LIBID, for any lower minor version and by neutral locale.
  Ptr<ITypeLib> found;
  EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0x409, found.Out()));
  EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0, found.Out()));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 1, 1, 0, found.Out()));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 2, 0, 0, found.Out()));

  ASSERT_EQ(S_OK, UnRegisterTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0x409, SYS_WIN32));
  EXPECT_FALSE(ClassesKeyExists("TypeLib\\{17AB6ACF-0559-453F-8370-C4F50A87DC9F}"));
  EXPECT_FALSE(ClassesKeyExists(itf));
  EXPECT_TRUE(ClassesKeyExists("TypeLib"));
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, UnRegisterTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0x409, SYS_WIN32));
}

TEST_F(TypeLibTest, RegisteredPathToAMissingFileFails) {
  Ptr<ITypeLib> lib;
  ASSERT_EQ(S_OK, Load(ComponentPath(), &lib));
  const std::u16string gone = Utf8ToUtf16(home_.path() + "/gone.so");
  ASSERT_EQ(S_OK, RegisterTypeLib(lib.get(), gone.c_str(), nullptr));
  EXPECT_EQ(TYPE_E_CANTLOADLIBRARY, LoadRegTypeLib(LIBID_KRTESTCOMPLib, 1, 0, 0, lib.Out()));
}

}  // namespace
}  // namespace krsoap::test
