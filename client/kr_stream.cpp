// CKRStream: the append-then-drain memory stream (see kr_stream.h).
#include "client/kr_stream.h"

#include <algorithm>
#include <cstring>

#include "common/trace/trace.h"

namespace krsoap::corvel {

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;

// An operation the stream does not carry out: traced, and answered `hr`.
static HRESULT Unsupported(const char16_t* name, HRESULT hr) {
  TraceEntry(name);
  TraceExit(name, hr);
  return hr;
}

CKRStream::CKRStream() {
  TraceEntry(u"CKRStream::ctor");
  TraceExit(u"CKRStream::ctor", 0);
}

CKRStream::~CKRStream() {
  TraceEntry(u"CKRStream::dtor");
  if (data_) GlobalFree(data_);
  data_ = nullptr;
  TraceExit(u"CKRStream::dtor", 0);
}

void CKRStream::FreeBuffer() {
  LogText("Exhausted buffer, freeing global memory.");
  GlobalFree(data_);
  data_ = nullptr;
  read_position_ = 0;
}

HRESULT CKRStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  TraceEntry(u"CKRStream::Read");
  HRESULT hr = S_OK;
  ULONG count = 0;
  if (!data_) {
    LogText("Nothing more to read.");
    hr = S_FALSE;
  } else {
    const uint32_t length = static_cast<uint32_t>(GlobalSize(data_) - 1);
    if (read_position_ < length) {
      if (auto* block = static_cast<const char*>(GlobalLock(data_))) {
        count = std::min<uint32_t>(length - read_position_, cb);
        if (count) std::memcpy(pv, block + read_position_, count);
        read_position_ += count;
        GlobalUnlock(data_);
      }
      if (read_position_ >= length) FreeBuffer();
    } else {
      FreeBuffer();
    }
  }
  if (pcbRead) *pcbRead = count;
  TraceExit(u"CKRStream::Read", hr);
  return hr;
}

HRESULT CKRStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  TraceEntry(u"CKRStream::Write");
  SIZE_T offset = 0;
  bool have_room = false;
  if (!data_) {
    data_ = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, SIZE_T(cb) + 1);
    have_room = data_ != nullptr;
  } else {
    const SIZE_T size = GlobalSize(data_);
    offset = size - 1;
    // A block that cannot grow keeps what it holds: the bytes already written
    // stay readable, and this write's bytes are lost (the write still reports
    // success, as callers of this stream expect of it).
    have_room = GlobalReAlloc(data_, size + cb, GMEM_ZEROINIT) == data_;
  }
  if (have_room && cb) {
    if (auto* block = static_cast<char*>(GlobalLock(data_))) {
      std::memcpy(block + offset, pv, cb);
      GlobalUnlock(data_);
    }
  }
  if (pcbWritten) *pcbWritten = cb;
  TraceExit(u"CKRStream::Write", S_OK);
  return S_OK;
}

HRESULT CKRStream::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) { return Unsupported(u"CKRStream::Seek", E_NOTIMPL); }

HRESULT CKRStream::SetSize(ULARGE_INTEGER) { return Unsupported(u"CKRStream::SetSize", E_NOTIMPL); }

HRESULT CKRStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return Unsupported(u"CKRStream::CopyTo", E_NOTIMPL);
}

HRESULT CKRStream::Commit(DWORD) { return Unsupported(u"CKRStream::Commit", S_OK); }

HRESULT CKRStream::Revert() { return Unsupported(u"CKRStream::Revert", E_NOTIMPL); }

HRESULT CKRStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return Unsupported(u"CKRStream::LockRegion", E_NOTIMPL);
}

HRESULT CKRStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return Unsupported(u"CKRStream::UnlockRegion", E_NOTIMPL);
}

HRESULT CKRStream::Stat(STATSTG* pstatstg, DWORD) {
  TraceEntry(u"CKRStream::Stat");
  const uint32_t length = data_ ? static_cast<uint32_t>(GlobalSize(data_) - 1) : 0;
  status_.type = STGTY_STREAM;
  status_.cbSize.LowPart = length;
  status_.cbSize.HighPart = 0;
  // The stream has no name: the caller must not find a pointer to free there.
  pstatstg->pwcsName = nullptr;
  pstatstg->type = status_.type;
  pstatstg->cbSize.LowPart = status_.cbSize.LowPart;
  pstatstg->cbSize.HighPart = status_.cbSize.HighPart;
  TraceExit(u"CKRStream::Stat", S_OK);
  return S_OK;
}

HRESULT CKRStream::Clone(IStream** ppstm) {
  TraceEntry(u"CKRStream::Clone");
  const HRESULT hr = ppstm ? E_NOTIMPL : E_POINTER;
  TraceExit(u"CKRStream::Clone", hr);
  return hr;
}

}  // namespace krsoap::corvel
