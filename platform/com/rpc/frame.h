// The transport's framing: the fixed 48-byte header in front of every
// message on a connection (docs/marshalling.md has the whole wire format).
//
//   u32 magic "KRPC"   u32 body length (<= 16 MiB)
//   u8 kind (1 request, 2 reply, 3 fault)   u8 flags (1 system, 2 one-way)
//   u16 method slot (or system operation)    u32 reserved, zero
//   u64 call id        u64 object id         16-byte IID
//
// All little-endian. DecodeHeader is strict: another magic, a length above
// the maximum, an unknown kind or flag, a non-zero reserved field, flags on
// a reply, or a one-way request that is not a system operation is
// RPC_E_INVALID_HEADER.
#pragma once

#include <cstdint>

#include "platform/com/com.h"
#include "platform/com/wire_codec.h"

#ifndef RPC_E_INVALID_HEADER
#define RPC_E_INVALID_HEADER KR_HRESULT(0x80010111)
#endif

namespace krsoap::com::rpc {

inline constexpr uint32_t kFrameMagic = 0x4350524Bu;  // "KRPC" as read little-endian
inline constexpr size_t kHeaderSize = 48;

enum FrameKind : uint8_t { kRequest = 1, kReply = 2, kFault = 3 };
enum FrameFlags : uint8_t { kSystem = 1, kOneWay = 2 };

// System operations (requests with kSystem; object id and IID as noted).
enum SystemOp : uint16_t {
  kLookup = 1,             // body: name; IID: the interface wanted. Reply: u32 hr [, u64 object id]
  kList = 2,               // body: empty. Reply: u32 hr, u32 count, names
  kRemQueryInterface = 3,  // object id, IID. Reply: u32 hr
  kRemRelease = 4,         // one-way; object id; body: u32 references given back
};

struct FrameHeader {
  uint32_t length = 0;
  uint8_t kind = 0;
  uint8_t flags = 0;
  uint16_t slot = 0;
  uint64_t call_id = 0;
  uint64_t object_id = 0;
  GUID iid{};
};

inline void EncodeHeader(const FrameHeader& h, uint8_t out[kHeaderSize]) {
  wire::Writer w;
  w.U32(kFrameMagic);
  w.U32(h.length);
  w.U8(h.kind);
  w.U8(h.flags);
  w.U16(h.slot);
  w.U32(0);
  w.U64(h.call_id);
  w.U64(h.object_id);
  w.Guid(h.iid);
  std::memcpy(out, w.buffer().data(), kHeaderSize);
}

inline HRESULT DecodeHeader(const uint8_t* in, size_t size, FrameHeader* h) {
  wire::Reader r(in, size);
  uint32_t magic = 0, reserved = 0;
  if (!r.U32(&magic) || !r.U32(&h->length) || !r.U8(&h->kind) || !r.U8(&h->flags) || !r.U16(&h->slot) ||
      !r.U32(&reserved) || !r.U64(&h->call_id) || !r.U64(&h->object_id) || !r.Guid(&h->iid) || !r.Done())
    return RPC_E_INVALID_HEADER;
  if (magic != kFrameMagic || reserved != 0 || h->length > wire::kMaxMessage) return RPC_E_INVALID_HEADER;
  if (h->kind < kRequest || h->kind > kFault || (h->flags & ~(kSystem | kOneWay)) != 0) return RPC_E_INVALID_HEADER;
  if (h->kind != kRequest && h->flags != 0) return RPC_E_INVALID_HEADER;
  if ((h->flags & kOneWay) && !(h->flags & kSystem)) return RPC_E_INVALID_HEADER;
  return S_OK;
}

}  // namespace krsoap::com::rpc
