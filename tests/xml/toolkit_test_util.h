// Helpers shared by the DOM and SOAP toolkit tests: an owning interface
// pointer, a small in-memory IStream, BSTR/VARIANT makers, and a fixture
// that registers the toolkit modules in a throwaway data root and joins the
// multithreaded apartment.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/com.h"
#include "platform/com/server_loader.h"
#include "platform/com/stream.h"
#include "platform/text/convert.h"
#include "tests/support/com_ptr.h"
#include "tests/support/test_home.h"

namespace krsoap::test {

// An owned BSTR made from UTF-8 (null stays null).
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const char* utf8) : b_(utf8 ? com::AllocBstrFromUtf8(utf8) : nullptr) {}
  explicit Bstr(const std::string& utf8) : b_(com::AllocBstrFromUtf8(utf8)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* Out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::string Utf8() const { return com::BstrToUtf8(b_); }
  bool IsNull() const { return b_ == nullptr; }

 private:
  BSTR b_ = nullptr;
};

inline VARIANT Unknown(IUnknown* u) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = u;  // borrowed
  return v;
}

// A byte SAFEARRAY in a VARIANT (owned by the holder).
class ByteArray {
 public:
  explicit ByteArray(const std::string& bytes) {
    VariantInit(&v_);
    v_.vt = VT_ARRAY | VT_UI1;
    v_.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    void* data = nullptr;
    if (v_.parray && SUCCEEDED(SafeArrayAccessData(v_.parray, &data))) {
      if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
      SafeArrayUnaccessData(v_.parray);
    }
  }
  ~ByteArray() { VariantClear(&v_); }
  const VARIANT& get() const { return v_; }

 private:
  VARIANT v_;
};

// A memory stream: writes append, reads consume. `max_read` limits what one
// Read hands out; `endless` makes it produce `fill` bytes forever.
class MemoryStream final : public IStream {
 public:
  static MemoryStream* Create(const std::string& content = "") {
    auto* s = new MemoryStream;
    s->data_ = content;
    return s;
  }
  size_t max_read = ~size_t{0};
  bool endless = false;
  char fill = ' ';
  std::atomic<size_t> reads{0};
  std::string Content() {
    std::lock_guard<std::mutex> lock(mu_);
    return data_.substr(pos_);
  }

  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    ++reads;
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = std::min<size_t>({cb, max_read, endless ? cb : data_.size() - pos_});
    if (endless) {
      std::memset(pv, fill, n);
    } else {
      if (n) std::memcpy(pv, data_.data() + pos_, n);
      pos_ += n;
    }
    if (read) *read = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    std::lock_guard<std::mutex> lock(mu_);
    data_.append(static_cast<const char*>(pv), cb);
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = data_.size() - pos_;
    return S_OK;
  }
  HRESULT Clone(IStream** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  MemoryStream() = default;
  std::atomic<ULONG> refs_{1};
  std::mutex mu_;
  std::string data_;
  size_t pos_ = 0;
};

// Registers the given modules of the build in a fresh data root, and joins
// the multithreaded apartment.
class ToolkitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com::internal::NoteRegistrationChanged();
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
  }
  static HRESULT RegisterModule(const std::string& file) {
    com::ServerModule module;
    HRESULT hr = com::LoadServerModule(platform::Utf8ToUtf16(LibDir() + "/" + file), &module);
    if (FAILED(hr)) return hr;
    auto fn = reinterpret_cast<HRESULT (*)()>(module.Symbol("DllRegisterServer"));
    return fn ? fn() : E_UNEXPECTED;
  }

  ScopedHome home_;
};

}  // namespace krsoap::test
