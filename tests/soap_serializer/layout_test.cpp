// The vtable slots other components call by position: a reordered interface
// description would break them silently, so the descriptions are checked.
#include <gtest/gtest.h>

#include <cstring>

#include "soaptoolkit.h"

namespace krsoap::test {
namespace {

int SlotOf(const krsoap::com::InterfaceDesc& d, const char* name, uint8_t invkind) {
  for (uint16_t i = 0; i < d.method_count; ++i) {
    if (!std::strcmp(d.methods[i].name, name) && d.methods[i].invkind == invkind) return d.methods[i].slot;
  }
  return -1;
}

TEST(ToolkitLayout, SlotsCallersDependOn) {
  // The port's address is its second method after IUnknown's three, the
  // operation's soapAction its third.
  EXPECT_EQ(3, kr_desc_IWSDLPort.first_slot);
  EXPECT_EQ(4, SlotOf(kr_desc_IWSDLPort, "address", 2));
  EXPECT_EQ(3, kr_desc_IWSDLOperation.first_slot);
  EXPECT_EQ(5, SlotOf(kr_desc_IWSDLOperation, "soapAction", 2));
  // The connector: dual, ten methods in a fixed order after IDispatch's.
  EXPECT_TRUE(kr_desc_ISoapConnector.dual);
  const struct {
    const char* name;
    uint8_t invkind;
  } order[] = {{"InputStream", 2}, {"OutputStream", 2}, {"Property", 2},   {"Property", 4},   {"ConnectWSDL", 1},
               {"reset", 1},       {"BeginMessageWSDL", 1}, {"EndMessage", 1}, {"Connect", 1}, {"BeginMessage", 1}};
  ASSERT_EQ(10, kr_desc_ISoapConnector.method_count);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(7 + i, SlotOf(kr_desc_ISoapConnector, order[i].name, order[i].invkind)) << i;
  EXPECT_TRUE(IsEqualGUID(IID_ISoapConnector, GUID{0x09BC1FF4, 0x5711, 0x4B93, {0xB0, 0x1D, 0xDD, 0xD8, 0x26, 0xEB, 0xD3, 0x53}}));
  // The serializer's first calls, as a connector makes them.
  EXPECT_EQ(7, SlotOf(kr_desc_ISoapSerializer, "Init", 1));
  EXPECT_EQ(8, SlotOf(kr_desc_ISoapSerializer, "startEnvelope", 1));
}

}  // namespace
}  // namespace krsoap::test
