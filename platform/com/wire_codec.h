// The byte-level codec of krsoap's marshalling: a growing little-endian
// writer and a strict bounded reader, shared by the interpreted proxies and
// stubs (platform/com/proxystub.*) and the transport's framing
// (platform/com/rpc/). The reader never reads past its end: every read
// checks the bytes left, and a failed read leaves the reader failed, so a
// decoder can read a whole record and check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/com/guid.h"

namespace krsoap::com::wire {

// The largest message (frame body) either side sends or accepts.
inline constexpr size_t kMaxMessage = size_t{16} << 20;

class Writer {
 public:
  void U8(uint8_t v) { buf_.push_back(v); }
  void U16(uint16_t v) { Le(v, 2); }
  void U32(uint32_t v) { Le(v, 4); }
  void U64(uint64_t v) { Le(v, 8); }
  void Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
  }
  void Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    Bytes(g.Data4, 8);
  }
  size_t size() const { return buf_.size(); }
  std::vector<uint8_t>& buffer() { return buf_; }

 private:
  void Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> buf_;
};

class Reader {
 public:
  Reader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), left_(data ? size : 0) {}

  bool U8(uint8_t* v) { return Le(v, 1); }
  bool U16(uint16_t* v) { return Le(v, 2); }
  bool U32(uint32_t* v) { return Le(v, 4); }
  bool U64(uint64_t* v) { return Le(v, 8); }
  bool I32(int32_t* v) {
    uint32_t u = 0;
    if (!U32(&u)) return false;
    *v = static_cast<int32_t>(u);
    return true;
  }
  bool Bytes(void* out, size_t n) {
    if (!Have(n)) return false;
    std::memcpy(out, p_, n);
    p_ += n;
    left_ -= n;
    return true;
  }
  // A view of the next n bytes, consumed; nullptr when fewer are left.
  const uint8_t* Take(size_t n) {
    if (!Have(n)) return nullptr;
    const uint8_t* at = p_;
    p_ += n;
    left_ -= n;
    return at;
  }
  bool Guid(GUID* g) { return U32(&g->Data1) && U16(&g->Data2) && U16(&g->Data3) && Bytes(g->Data4, 8); }

  size_t left() const { return left_; }
  bool ok() const { return ok_; }
  // Everything read and nothing failed: the strict end of a record.
  bool Done() const { return ok_ && left_ == 0; }

 private:
  bool Have(size_t n) {
    if (!ok_ || n > left_) {
      ok_ = false;
      return false;
    }
    return true;
  }
  template <class T>
  bool Le(T* v, int n) {
    if (!Have(static_cast<size_t>(n))) return false;
    uint64_t x = 0;
    for (int i = 0; i < n; ++i) x |= static_cast<uint64_t>(p_[i]) << (8 * i);
    *v = static_cast<T>(x);
    p_ += n;
    left_ -= static_cast<size_t>(n);
    return true;
  }
  const uint8_t* p_;
  size_t left_;
  bool ok_ = true;
};

}  // namespace krsoap::com::wire
