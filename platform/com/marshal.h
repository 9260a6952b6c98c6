// Proxy/stub interfaces of the marshalling run time, declared for the
// interface marshalling that modules carry for their own interfaces.
//
// A proxy/stub factory (IPSFactoryBuffer) makes, for one interface, a proxy
// that packs a call into an RPCOLEMESSAGE and sends it through a channel
// (IRpcChannelBuffer), and a stub that unpacks such a message and calls the
// real object. In-process activation never needs them; they exist so that
// a module's proxy/stub class can be built, registered and tested.
#pragma once

#include "platform/com/unknwn.h"

typedef ULONG RPCOLEDATAREP;

struct RPCOLEMESSAGE {
  void* reserved1;
  RPCOLEDATAREP dataRepresentation;
  void* Buffer;
  ULONG cbBuffer;
  ULONG iMethod;
  void* reserved2[5];
  ULONG rpcFlags;
};
typedef RPCOLEMESSAGE* PRPCOLEMESSAGE;

DEFINE_GUID(IID_IPSFactoryBuffer, 0xD5F569D0, 0x593B, 0x101A, 0xB5, 0x69, 0x08, 0x00, 0x2B, 0x2D, 0xBF, 0x7A);
DEFINE_GUID(IID_IRpcProxyBuffer, 0xD5F56A34, 0x593B, 0x101A, 0xB5, 0x69, 0x08, 0x00, 0x2B, 0x2D, 0xBF, 0x7A);
DEFINE_GUID(IID_IRpcStubBuffer, 0xD5F56AFC, 0x593B, 0x101A, 0xB5, 0x69, 0x08, 0x00, 0x2B, 0x2D, 0xBF, 0x7A);
DEFINE_GUID(IID_IRpcChannelBuffer, 0xD5F56B60, 0x593B, 0x101A, 0xB5, 0x69, 0x08, 0x00, 0x2B, 0x2D, 0xBF, 0x7A);

struct IRpcChannelBuffer : public IUnknown {
  virtual HRESULT GetBuffer(RPCOLEMESSAGE* pMessage, REFIID riid) = 0;
  virtual HRESULT SendReceive(RPCOLEMESSAGE* pMessage, ULONG* pStatus) = 0;
  virtual HRESULT FreeBuffer(RPCOLEMESSAGE* pMessage) = 0;
  virtual HRESULT GetDestCtx(DWORD* pdwDestContext, void** ppvDestContext) = 0;
  virtual HRESULT IsConnected() = 0;
};

struct IRpcProxyBuffer : public IUnknown {
  virtual HRESULT Connect(IRpcChannelBuffer* pRpcChannelBuffer) = 0;
  virtual void Disconnect() = 0;
};

struct IRpcStubBuffer : public IUnknown {
  virtual HRESULT Connect(IUnknown* pUnkServer) = 0;
  virtual void Disconnect() = 0;
  virtual HRESULT Invoke(RPCOLEMESSAGE* _prpcmsg, IRpcChannelBuffer* _pRpcChannelBuffer) = 0;
  virtual IRpcStubBuffer* IsIIDSupported(REFIID riid) = 0;
  virtual ULONG CountRefs() = 0;
  virtual HRESULT DebugServerQueryInterface(void** ppv) = 0;
  virtual void DebugServerRelease(void* pv) = 0;
};

struct IPSFactoryBuffer : public IUnknown {
  virtual HRESULT CreateProxy(IUnknown* pUnkOuter, REFIID riid, IRpcProxyBuffer** ppProxy, void** ppv) = 0;
  virtual HRESULT CreateStub(REFIID riid, IUnknown* pUnkServer, IRpcStubBuffer** ppStub) = 0;
};

template <>
struct KrIidOf<IPSFactoryBuffer> {
  static constexpr const IID& value = IID_IPSFactoryBuffer;
};
template <>
struct KrIidOf<IRpcProxyBuffer> {
  static constexpr const IID& value = IID_IRpcProxyBuffer;
};
template <>
struct KrIidOf<IRpcStubBuffer> {
  static constexpr const IID& value = IID_IRpcStubBuffer;
};
template <>
struct KrIidOf<IRpcChannelBuffer> {
  static constexpr const IID& value = IID_IRpcChannelBuffer;
};
