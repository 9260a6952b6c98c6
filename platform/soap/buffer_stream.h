// BufferStream: a small IStream over one in-memory byte buffer, for code
// that hands a request to the SOAP server and collects its response without
// a transport (the HTTP front end, tests, benchmarks). Header-only, so that
// programs outside the toolkit module can use it without linking it.
//
// Writes append at the end; reads consume from the front; Stat reports the
// bytes not yet read. Reference counting is atomic; the buffer itself has a
// lock, so one thread may write while another reads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/com/com.h"
#include "platform/com/stream.h"
#include "platform/com/unknown_impl.h"

namespace krsoap::soap {

class BufferStream final : public com::UnknownImpl<BufferStream, IStream, IID_IStream, IID_ISequentialStream> {
 public:
  // A new stream holding `content`, with one reference; nullptr when memory
  // runs out.
  static BufferStream* Create(std::string content = std::string()) {
    auto* s = new (std::nothrow) BufferStream;
    if (s) s->data_ = std::move(content);
    return s;
  }

  // The bytes not yet read.
  std::string Unread() {
    std::lock_guard<std::mutex> lock(mu_);
    return data_.substr(pos_);
  }
  // Replaces the content and rewinds (for reuse between calls).
  void Assign(std::string content) {
    std::lock_guard<std::mutex> lock(mu_);
    data_ = std::move(content);
    pos_ = 0;
  }
  // Hands the unread bytes over and empties the stream.
  std::string Take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string out = pos_ ? data_.substr(pos_) : std::move(data_);
    data_.clear();
    pos_ = 0;
    return out;
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* read) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = std::min<size_t>(cb, data_.size() - pos_);
    if (n) std::memcpy(pv, data_.data() + pos_, n);
    pos_ += n;
    if (pos_ == data_.size()) {
      data_.clear();
      pos_ = 0;
    }
    if (read) *read = static_cast<ULONG>(n);
    return n < cb ? S_FALSE : S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* written) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(mu_);
    try {
      data_.append(static_cast<const char*>(pv), cb);
    } catch (const std::bad_alloc&) {
      if (written) *written = 0;
      return STG_E_MEDIUMFULL;
    }
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return STG_E_INVALIDFUNCTION; }
  HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_INVALIDFUNCTION; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (!stat) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    std::lock_guard<std::mutex> lock(mu_);
    stat->cbSize.QuadPart = data_.size() - pos_;
    return S_OK;
  }
  HRESULT Clone(IStream** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  BufferStream() = default;
  friend UnknownImpl;  // deletes it at the last Release
  ~BufferStream() = default;

  std::mutex mu_;
  std::string data_;
  size_t pos_ = 0;
};

}  // namespace krsoap::soap
