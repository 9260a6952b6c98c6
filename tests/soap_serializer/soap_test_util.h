// Fixture of the serializer and reader tests: both toolkit modules
// registered in a throwaway data root.
#pragma once

#include "soaptoolkit.h"
#include "tests/xml/toolkit_test_util.h"

namespace krsoap::test {

class SoapTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrxml.so"));
    ASSERT_EQ(S_OK, RegisterModule("libkrsoap.so"));
  }
  static HRESULT NewSerializer(Ptr<ISoapSerializer>* out) {
    return CoCreateInstance(CLSID_SoapSerializer, nullptr, CLSCTX_ALL, IID_ISoapSerializer, out->OutVoid());
  }
  static HRESULT NewReader(Ptr<ISoapReader>* out) {
    return CoCreateInstance(CLSID_SoapReader, nullptr, CLSCTX_ALL, IID_ISoapReader, out->OutVoid());
  }
  static std::string TextOf(IXMLDOMElement* e) {
    Bstr text;
    EXPECT_EQ(S_OK, e->get_text(text.Out()));
    return text.Utf8();
  }
};

}  // namespace krsoap::test
