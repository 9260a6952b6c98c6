// CKRStream: the implementation of coclass KRStream, the connector's message
// buffer. An IStream over one growable global memory block that holds one
// message at a time: writes append at the end, reads consume from a read
// position, and the read that takes the last byte frees the block, so the
// stream is empty and ready for the next message. It cannot be rewound.
// Owns the memory block.
#pragma once

#include <cstdint>

#include "corvel.h"
#include "platform/com/server.h"
#include "platform/com/stream.h"
#include "platform/memory/global_memory.h"

namespace krsoap::corvel {

class CKRStream : public krsoap::com::ObjectRoot,
                  public krsoap::com::DispatchImpl<IKRStream, &LIBID_CORVELLib>,
                  public IStream {
 public:
  KR_BEGIN_INTERFACE_MAP(CKRStream)
    KR_INTERFACE_ENTRY(IKRStream)
    KR_INTERFACE_ENTRY2(IDispatch, IKRStream)
    KR_INTERFACE_ENTRY(IStream)
  KR_END_INTERFACE_MAP()

  CKRStream();
  ~CKRStream();

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  HRESULT SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
  HRESULT Commit(DWORD grfCommitFlags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT Clone(IStream** ppstm) override;

 private:
  void FreeBuffer();

  HGLOBAL data_ = nullptr;      // message bytes plus one zero byte; none when empty
  uint32_t read_position_ = 0;  // offset of the next byte Read returns
  STATSTG status_{};
};

}  // namespace krsoap::corvel
