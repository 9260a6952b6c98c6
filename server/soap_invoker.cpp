// CKRSoapInvoker::Execute: creates the SoapServer and the handler on first
// use, points the handler at the request queue, lets it take the request,
// and runs SoapInvoke with the handler as request and response stream.
#include "server/soap_invoker.h"

#include "common/trace/trace.h"
#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/com/hresult.h"
#include "server/journal.h"
#include "server/pool.h"

namespace krsoap::halvex {
namespace {

constexpr DWORD kSoapServerContext = CLSCTX_SERVER;  // 21
constexpr DWORD kHandlerContext = CLSCTX_ALL;        // 23

// A BSTR copy of an argument (a null argument stays an empty string).
krsoap::com::BstrPtr Copy(BSTR b) { return krsoap::com::BstrPtr(krsoap::com::BstrView(b)); }

}  // namespace

CKRSoapInvoker::~CKRSoapInvoker() {
  if (handler_) handler_->Release();
  if (server_) server_->Release();
}

HRESULT CKRSoapInvoker::Execute(BSTR QueueMgr, BSTR Queue, BSTR WSDL, BSTR WSML, BSTR, LONG* Result) {
  krsoap::trace::TraceEntry(u"CKRSoapInvoker::Execute");
  if (Result) *Result = 0;
  HRESULT hr = S_OK;
  if (!server_) {
    hr = CoCreateInstance(CLSID_SoapServer, nullptr, kSoapServerContext, IID_ISoapServer,
                          reinterpret_cast<void**>(&server_));
    if (FAILED(hr)) {
      LogText("Failed to create instance of SoapServer hr = %x", static_cast<unsigned>(hr));
      SetRequestFailureText("cannot create the SOAP server (" + krsoap::com::HResultName(hr) +
                            "); the request stays on the queue");
      server_ = nullptr;
    } else if (server_) {
      // A server whose Init failed is kept and not initialised again: the
      // outcome of this request (and later ones) shows in SoapInvoke.
      krsoap::com::BstrPtr wsdl = Copy(WSDL);
      krsoap::com::BstrPtr wsml = Copy(WSML);
      HRESULT init = server_->Init(wsdl.get(), wsml.get());
      if (FAILED(init)) LogText("Failed to Init SoapServer hr = %x", static_cast<unsigned>(init));
    }
  }
  if (server_) {
    if (!handler_) {
      hr = CoCreateInstance(CLSID_KRSoapHandler, nullptr, kHandlerContext, IID_IKRSoapHandler,
                            reinterpret_cast<void**>(&handler_));
      if (FAILED(hr)) {
        LogText("Failed to create instance of SoapHandler hr = %x", static_cast<unsigned>(hr));
        handler_ = nullptr;
      }
      if (!handler_) {
        if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
        LogText("Failed to create instance of KRSoapHandler hr = %x", static_cast<unsigned>(hr));
      }
    }
    if (handler_) {
      {
        krsoap::com::BstrPtr qm = Copy(QueueMgr);
        krsoap::com::BstrPtr queue = Copy(Queue);
        handler_->put_QueueManager(qm.get());
        handler_->put_Queue(queue.get());
      }
      krsoap::com::BstrPtr action;
      handler_->get_SoapAction(action.Out());
      IUnknown* unknown = nullptr;
      hr = handler_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
      if (SUCCEEDED(hr)) {
        VARIANT input;
        VariantInit(&input);
        input.vt = VT_UNKNOWN;
        input.punkVal = unknown;  // borrowed for the call
        hr = server_->SoapInvoke(input, unknown, action.get());
        if (FAILED(hr)) {
          LogText("Failed to Call SoapInvoke hr = %x", static_cast<unsigned>(hr));
          // The handler knows what went wrong with the request or its reply
          // ("Open of the reply-to queue failed: reason 2085 (...)").
          krsoap::com::BstrPtr description;
          handler_->get_ErrorDescription(description.Out());
          std::string text = krsoap::com::BstrToUtf8(description.get());
          if (!text.empty()) SetRequestFailureText(text);
        }
        // A request whose reply was not put (the toolkit wrote no complete
        // response) goes back to its queue now rather than at the next
        // request, if it was taken under a unit of work.
        IStream* stream = nullptr;
        if (SUCCEEDED(unknown->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream))) && stream) {
          stream->Revert();
          stream->Release();
        }
        unknown->Release();
      }
    }
  }
  krsoap::trace::TraceExit(u"CKRSoapInvoker::Execute", hr);
  return hr;
}

}  // namespace krsoap::halvex
