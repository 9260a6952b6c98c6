// KRStream, the connectors' memory stream, made through COM activation:
// appending writes, consuming reads, the end of a message, Stat's length and
// the operations it does not offer.
#include "tests/client/client_test_util.h"

namespace krsoap::test {
namespace {

class StreamTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libcorvel.so"));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KRStream, nullptr, CLSCTX_ALL, IID_IStream, s_.OutVoid()));
  }
  void TearDown() override {
    s_.Reset();
    ToolkitTest::TearDown();
  }
  void Write(const std::string& text) {
    ULONG n = 99;
    EXPECT_EQ(S_OK, s_->Write(text.data(), static_cast<ULONG>(text.size()), &n));
    EXPECT_EQ(text.size(), n);
  }
  // One Read of at most `cb` bytes: its result and the bytes it gave.
  HRESULT Read(ULONG cb, std::string* got) {
    std::string buf(cb + 1, '#');
    ULONG n = 12345;
    HRESULT hr = s_->Read(buf.data(), cb, &n);
    *got = buf.substr(0, n);
    EXPECT_EQ('#', buf[n]) << "read past its count";
    return hr;
  }
  ULONG Length() {
    STATSTG st;
    std::memset(&st, 0x5A, sizeof st);
    EXPECT_EQ(S_OK, s_->Stat(&st, STATFLAG_NONAME));
    EXPECT_EQ(nullptr, st.pwcsName);
    EXPECT_EQ(2u, st.type);
    EXPECT_EQ(0u, st.cbSize.HighPart);
    return st.cbSize.LowPart;
  }
  Ptr<IStream> s_;
};

TEST_F(StreamTest, WritesAppendReadsConsumeAndTheLastByteEndsTheMessage) {
  std::string got;
  EXPECT_EQ(S_FALSE, Read(10, &got));  // never written
  EXPECT_EQ("", got);
  EXPECT_EQ(0u, Length());

  Write("hello ");
  Write("world");
  EXPECT_EQ(11u, Length());
  EXPECT_EQ(S_OK, Read(4, &got));
  EXPECT_EQ("hell", got);
  EXPECT_EQ(11u, Length()) << "Stat counts what was already read";
  EXPECT_EQ(S_OK, Read(0, &got));  // takes nothing, changes nothing
  EXPECT_EQ("", got);
  Write("!");  // appended behind the unread part
  EXPECT_EQ(12u, Length());
  EXPECT_EQ(S_OK, Read(100, &got));
  EXPECT_EQ("o world!", got);
  // That read took the last byte: the stream is empty and ready again.
  EXPECT_EQ(0u, Length());
  EXPECT_EQ(S_FALSE, Read(10, &got));
  EXPECT_EQ("", got);
  Write("next");
  EXPECT_EQ(S_OK, Read(4, &got));
  EXPECT_EQ("next", got);
  EXPECT_EQ(S_FALSE, Read(4, &got));

  // A message far larger than one write, read back in odd pieces.
  std::string big;
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('a' + i % 26);
  for (size_t at = 0; at < big.size(); at += 700) Write(big.substr(at, 700));
  EXPECT_EQ(big.size(), Length());
  std::string back;
  while (Read(333, &got) == S_OK && !got.empty()) back += got;
  EXPECT_EQ(big, back);
  EXPECT_EQ(S_FALSE, Read(1, &got));

  // A zero-byte write to the empty stream starts an empty message: one read
  // answers S_OK with nothing, the next finds the stream empty.
  ULONG n = 7;
  EXPECT_EQ(S_OK, s_->Write("x", 0, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(0u, Length());
  EXPECT_EQ(S_OK, Read(10, &got));
  EXPECT_EQ("", got);
  EXPECT_EQ(S_FALSE, Read(10, &got));
}

TEST_F(StreamTest, UnsupportedOperationsAndInterfaces) {
  LARGE_INTEGER move{};
  ULARGE_INTEGER u{};
  EXPECT_EQ(E_NOTIMPL, s_->Seek(move, STREAM_SEEK_SET, nullptr));
  EXPECT_EQ(E_NOTIMPL, s_->SetSize(u));
  EXPECT_EQ(E_NOTIMPL, s_->CopyTo(s_.get(), u, nullptr, nullptr));
  EXPECT_EQ(E_NOTIMPL, s_->Revert());
  EXPECT_EQ(E_NOTIMPL, s_->LockRegion(u, u, 0));
  EXPECT_EQ(E_NOTIMPL, s_->UnlockRegion(u, u, 0));
  EXPECT_EQ(S_OK, s_->Commit(0));
  EXPECT_EQ(E_POINTER, s_->Clone(nullptr));
  IStream* sentinel = reinterpret_cast<IStream*>(0x1234);
  IStream* clone = sentinel;
  EXPECT_EQ(E_NOTIMPL, s_->Clone(&clone));
  EXPECT_EQ(sentinel, clone);

  Ptr<IKRStream> own;
  EXPECT_EQ(S_OK, s_.As(&own));
  Ptr<IDispatch> dispatch;
  EXPECT_EQ(S_OK, s_.As(&dispatch));
  Ptr<ISoapConnector> connector;
  EXPECT_EQ(E_NOINTERFACE, s_.As(&connector));
  EXPECT_FALSE(connector);
}

}  // namespace
}  // namespace krsoap::test
