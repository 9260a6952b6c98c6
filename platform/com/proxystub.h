// Interpreted proxies and stubs: the marshalling of described interfaces
// between processes, driven by the description tables the interface
// compiler emits (platform/com/interface_desc.h). This file owns
//
//   - ProxyCall, the one generic proxy interpreter: every method of every
//     generated proxy class (IUnknown's and IDispatch's included) hands it
//     its vtable slot and the addresses of its arguments. IUnknown's three
//     go to the controlling unknown (the proxy manager), IDispatch's four to
//     the one generic IDispatch marshaller, every described method to the
//     description-driven packer. Nothing is hand-written per method.
//   - the generic stub (IRpcStubBuffer) that unpacks a request by the
//     description and calls the real object's vtable slot through the
//     generic call path of stddispatch.h, and the proxy buffer
//     (IRpcProxyBuffer) that owns one generated interface proxy;
//   - the proxy/stub factory (IPSFactoryBuffer) of a module's proxy file,
//     and the module toolkit's KR_PROXY_FILE, which gives a module the
//     ServerHooks that answer its proxy/stub CLSID, register and unregister
//     its interfaces under HKCR\Interface and keep it loaded while any of
//     its proxies, stubs or factories lives;
//   - CoGetPSClsid and GetPSFactoryBuffer, the lookup Windows makes:
//     HKCR\Interface\{iid}\ProxyStubClsid32 -> the CLSID's module ->
//     DllGetClassObject(psclsid, IID_IPSFactoryBuffer);
//   - IKrObjectChannel, the channel extension through which proxies and
//     stubs pass interface pointers as object references.
//
// What travels (the body encoding is described in docs/marshalling.md):
// BSTR, the integer scalars (I1..UI8, INT, UINT), VARIANT_BOOL, SCODE,
// float, double, DATE, CY, VARIANT of the simple types (EMPTY, NULL, the
// integers, R4, R8, BOOL, BSTR, CY, DATE, ERROR), [out] and [in, out]
// pointers to any of those, and interface pointers of described interfaces.
// SAFEARRAYs and VARIANTs holding anything else are refused on the sending
// side with RPC_E_CLIENT_CANTMARSHAL_DATA (RPC_E_SERVER_CANTMARSHAL_DATA
// for what a stub would send back). A null [out] pointer gives
// RPC_X_NULL_REF_POINTER without a round trip. An [out] value the callee
// leaves unwritten arrives as zero/empty: the stub hands the callee zeroed
// storage, as the Windows marshaller does. BSTRs must be well-formed UTF-16
// (no unpaired surrogates) to travel.
//
// IDispatch across processes: GetTypeInfoCount, GetIDsOfNames and Invoke
// travel (DISPPARAMS of simple VARIANTs, by value or VT_BYREF, named
// arguments, the result, EXCEPINFO, the argument error index).
// GetTypeInfo answers E_NOTIMPL on the proxy: type information is not
// marshalled; a client wanting it loads the registered type library itself.
// Plain IDispatch (a client asking a remote object for IID_IDispatch) has a
// built-in proxy/stub, as the system provides one on Windows, used when no
// module registered one for it.
//
// Decoding is strict: a truncated or oversized body, trailing bytes, a type
// tag other than the description's, a length past the end, odd-length or
// badly paired UTF-16, or a slot outside the interface gives
// RPC_E_INVALID_DATAPACKET (RPC_S_PROCNUM_OUT_OF_RANGE for the slot) and
// never touches the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/com/com.h"
#include "platform/com/interface_desc.h"
#include "platform/com/marshal.h"
#include "platform/com/server.h"
#include "platform/com/wire_codec.h"

// Win32 RPC status codes as HRESULTs, as the Windows proxies return them.
#ifndef RPC_S_PROCNUM_OUT_OF_RANGE
#define RPC_S_PROCNUM_OUT_OF_RANGE KR_HRESULT(0x800706D1)
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER KR_HRESULT(0x800706F4)
#endif

// {8C3B0B6E-5B43-4C62-9D8E-2F4A7C1E9A51}
DEFINE_GUID(IID_IKrObjectChannel, 0x8C3B0B6E, 0x5B43, 0x4C62, 0x9D, 0x8E, 0x2F, 0x4A, 0x7C, 0x1E, 0x9A, 0x51);

// The channel of a connection that can carry object references. A proxy or
// stub that must pass an interface pointer asks its channel for this
// interface; a channel without it cannot carry interface pointers.
struct IKrObjectChannel : public IRpcChannelBuffer {
  // Exports `object` (a pointer to interface `iid`) to the peer and gives
  // its object id; the peer owns one reference until it releases it.
  virtual HRESULT ExportObject(IUnknown* object, REFIID iid, uint64_t* oid) = 0;
  // Makes a proxy for `iid` on the peer's object `oid`, taking over one
  // reference the peer sent (released to the peer even on failure).
  virtual HRESULT ImportObject(uint64_t oid, REFIID iid, void** ppv) = 0;
};
template <>
struct KrIidOf<IKrObjectChannel> {
  static constexpr const IID& value = IID_IKrObjectChannel;
};

extern "C" {
// The proxy/stub CLSID registered for `iid` (HKCR\Interface\{iid}\ProxyStubClsid32);
// REGDB_E_IIDNOTREG when there is none.
KR_EXPORT HRESULT CoGetPSClsid(REFIID iid, CLSID* clsid);
}

namespace krsoap::com {

// The state one generated interface proxy forwards to (owned by its proxy
// buffer): the interface's description, the controlling unknown (the proxy
// manager the proxy is aggregated into) and the channel set by Connect.
struct ProxyCore {
  const InterfaceDesc* desc = nullptr;
  IUnknown* outer = nullptr;
  std::atomic<IRpcChannelBuffer*> channel{nullptr};
};

// The one generic proxy interpreter. `args[i]` is the address of the
// method's i-th argument (for a reference argument such as REFIID, the
// address of the referred object); AddRef and Release receive the address
// of a ULONG for their result.
HRESULT ProxyCall(ProxyCore* core, uint16_t slot, void** args);

// One module's proxy file: its proxy/stub CLSID and its interfaces, in order.
struct ProxyFile {
  const CLSID* psclsid;
  const InterfaceDesc* const* interfaces;
  size_t count;
  std::atomic<long>* live;  // proxies, stubs and factories of the module alive
};

HRESULT ProxyFileGetClassObject(const ProxyFile& file, REFCLSID clsid, REFIID iid, void** ppv);
// Writes, for each interface, HKCR\Interface\{iid} = name, with NumMethods
// and ProxyStubClsid32 subkeys, and HKCR\CLSID\{psclsid} = "PSFactoryBuffer"
// with InprocServer32 = module_path (ThreadingModel "Both").
HRESULT ProxyFileRegister(const ProxyFile& file, const std::string& module_path);
// Removes exactly what ProxyFileRegister wrote; keys that hold other
// software's entries stay with those entries.
HRESULT ProxyFileUnregister(const ProxyFile& file);
bool ProxyFileCanUnload(const ProxyFile& file);

// The proxy/stub factory registered for `iid`, reached as Windows reaches
// it (CoGetPSClsid, then CoGetClassObject of that CLSID for IPSFactoryBuffer);
// for IDispatch without a registration, the built-in one.
HRESULT GetPSFactoryBuffer(REFIID iid, IPSFactoryBuffer** out);

// The decoding half of a stub, exposed for the fuzz target and tests:
// unpacks `body` as a call of `slot` on `stub`'s interface and, when it is
// well formed, makes the call and packs the reply into `channel`'s buffer.
// (Equivalent to IRpcStubBuffer::Invoke with a message built from the body.)
HRESULT InvokeStubWithBody(IRpcStubBuffer* stub, uint16_t slot, const uint8_t* body, size_t size,
                           IRpcChannelBuffer* channel, std::vector<uint8_t>* reply);

}  // namespace krsoap::com

// Gives a module a proxy file and the ServerHooks that serve it:
//
//   KR_PROXY_FILE(kThingProxyHooks, IID_IThing, &kr_desc_IThing, &kr_desc_IOther)
//   KR_SERVER_MODULE(kObjects, &LIBID_ThingLib, &kThingProxyHooks)
//
// `psclsid` names the proxy/stub class (a GUID object); the interfaces follow
// in the order the proxy file lists them.
#define KR_PROXY_FILE(hooks, psclsid, ...)                                                                   \
  namespace {                                                                                                \
  const ::krsoap::com::InterfaceDesc* const hooks##_interfaces[] = {__VA_ARGS__};                            \
  std::atomic<long> hooks##_live{0};                                                                         \
  const ::krsoap::com::ProxyFile hooks##_file = {                                                            \
      &(psclsid), hooks##_interfaces, sizeof(hooks##_interfaces) / sizeof(hooks##_interfaces[0]), &hooks##_live}; \
  const ::krsoap::com::ServerHooks hooks = {                                                                 \
      [](REFCLSID c, REFIID i, void** p) { return ::krsoap::com::ProxyFileGetClassObject(hooks##_file, c, i, p); }, \
      []() { return ::krsoap::com::ProxyFileRegister(hooks##_file, ::krsoap::com::ThisModule().ModulePath()); },    \
      []() { return ::krsoap::com::ProxyFileUnregister(hooks##_file); },                                      \
      []() { return ::krsoap::com::ProxyFileCanUnload(hooks##_file); }};                                      \
  }
