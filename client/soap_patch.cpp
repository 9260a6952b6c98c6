// CKRBaseConn's rewriting of the message in the memory stream: PatchSoap
// adds a prefix:SoapAction element holding the "SoapAction" property to the
// envelope's Header (making a Header when there is none), through the XML
// DOM; WriteSoapUrlError replaces the pending request with a SOAP fault that
// says the endpoint address is not usable, through the toolkit's serializer.
//
// The DOM's load and save were most of a client call's work, so a request in
// the plain form that serialisers write is patched as text instead
// (envelope_text.h), with the very bytes the DOM would give; any other
// request goes back into the stream and through the DOM as before.
//
// The element names are built from the Envelope's prefix as strings of their
// own length, so a prefix of any length is handled whole.
#include <algorithm>
#include <string>

#include "client/base_conn.h"
#include "client/envelope_text.h"
#include "common/trace/trace.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/stream.h"
#include "platform/com/variant.h"
#include "xmldom.h"

namespace krsoap::corvel {

using krsoap::trace::TraceEntry;
using krsoap::trace::TraceExit;
namespace {

constexpr const char16_t* kSoapEncoding = u"http://schemas.xmlsoap.org/soap/encoding/";
constexpr const char16_t* kUrlFaultString =
    u"The SOAP Address URL supplied is not a valid KR or HTTP URL. The valid format for an KR URL is "
    u"krs:queue@queuemanager";

// The stream's IUnknown in a VARIANT (VT_NULL when the stream gives none);
// the VARIANT owns one reference.
struct StreamArg {
  VARIANT v;
  explicit StreamArg(IKRStream* stream) {
    VariantInit(&v);
    IUnknown* unknown = nullptr;
    if (stream && SUCCEEDED(stream->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) && unknown) {
      v.vt = VT_UNKNOWN;
      v.punkVal = unknown;
    } else {
      v.vt = VT_NULL;
    }
  }
  ~StreamArg() { VariantClear(&v); }
};

VARIANT ElementType() {
  VARIANT t;
  VariantInit(&t);
  t.vt = VT_I2;
  t.iVal = 1;  // NODE_ELEMENT
  return t;
}

// Reads the stream out, as the DOM's load does.
HRESULT ReadAll(IStream* stream, std::string* text) {
  char chunk[16384];
  while (true) {
    ULONG got = 0;
    const HRESULT hr = stream->Read(chunk, sizeof chunk, &got);
    if (FAILED(hr)) return hr;
    if (got == 0 || got > sizeof chunk) return S_OK;
    text->append(chunk, got);
  }
}

HRESULT WriteAll(IStream* stream, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(text.size() - done, 1u << 30));
    ULONG written = 0;
    const HRESULT hr = stream->Write(text.data() + done, chunk, &written);
    if (FAILED(hr)) return hr;
    if (written == 0 || written > chunk) return STG_E_WRITEFAULT;
    done += written;
  }
  return S_OK;
}

// Says how writing the patched envelope back went; both patch paths end here.
HRESULT LogPatchWritten(HRESULT hr) {
  if (SUCCEEDED(hr)) {
    LogText("Successfully patched SOAP message.");
  } else {
    LogText("Error: Unable to write patched SOAP message to stream -- patching failed.");
  }
  return hr;
}

}  // namespace

HRESULT CKRBaseConn::PatchSoap() {
  TraceEntry(u"CKRBaseConn::PatchSoap");
  HRESULT hr = S_OK;
  {
    ComPtr<IStream> stream;
    std::string text, patched;
    if (stream_ && SUCCEEDED(stream_->QueryInterface(IID_IStream, stream.OutVoid())) && stream) {
      hr = ReadAll(stream.get(), &text);
      if (FAILED(hr)) {
        LogText("Error: Unable to load/parse SOAP message -- patching failed.");
        TraceExit(u"CKRBaseConn::PatchSoap", hr);
        return hr;
      }
      if (PatchEnvelopeText(text, soap_action_, &patched)) {
        hr = LogPatchWritten(WriteAll(stream.get(), patched));
        TraceExit(u"CKRBaseConn::PatchSoap", hr);
        return hr;
      }
      // Not in the plain form: back into the stream for the DOM to load.
      hr = WriteAll(stream.get(), text);
      if (FAILED(hr)) {
        LogText("Error: Unable to load/parse SOAP message -- patching failed.");
        TraceExit(u"CKRBaseConn::PatchSoap", hr);
        return hr;
      }
    }
  }
  ComPtr<IXMLDOMDocument> document;
  ComPtr<IXMLDOMElement> root;
  ComPtr<IXMLDOMNode> first_child, header, inserted, action, appended;
  ComPtr<IXMLDOMNodeList> list;
  krsoap::com::BstrPtr local_name, prefix, namespace_uri;
  [&] {
    hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                          document.OutVoid());
    if (FAILED(hr) || !document) {
      LogText("Error: Unable to create XML DOM document object -- patching failed.");
      if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
      return;
    }
    VARIANT_BOOL loaded = VARIANT_FALSE;
    {
      StreamArg source(stream_);
      hr = document->load(source.v, &loaded);
    }
    if (FAILED(hr) || loaded == VARIANT_FALSE) {
      LogText("Error: Unable to load/parse SOAP message -- patching failed.");
      return;
    }
    hr = document->get_documentElement(root.Out());
    if (FAILED(hr) || !root) {
      LogText("Error: Unable to find root element -- patching failed.");
      return;
    }
    hr = root->get_baseName(local_name.Out());
    if (FAILED(hr) || krsoap::com::BstrView(local_name.get()) != u"Envelope") {
      LogText("Error: Root element is not the Envelope node -- patching failed.");
      return;
    }
    hr = root->get_prefix(prefix.Out());
    if (FAILED(hr) || !prefix.get()) {
      LogText("Error: Unable to retrieve namespace prefix -- patching failed.");
      return;
    }
    hr = root->get_namespaceURI(namespace_uri.Out());
    if (FAILED(hr) || !namespace_uri.get()) {
      LogText("Error: Unable to retrieve namespace URI -- patching failed.");
      return;
    }
    const std::u16string p(krsoap::com::BstrView(prefix.get()));
    krsoap::com::BstrPtr header_name(p + u":Header"), action_name(p + u":SoapAction");
    hr = document->getElementsByTagName(header_name.get(), list.Out());
    if (FAILED(hr) || !list) {
      LogText("Error: Unable to retrieve Header node information -- patching failed.");
      return;
    }
    list->reset();
    list->nextNode(header.Out());
    if (!header.get()) {
      root->get_firstChild(first_child.Out());
      if (first_child.get()) {
        hr = document->createNode(ElementType(), header_name.get(), namespace_uri.get(), inserted.Out());
        if (SUCCEEDED(hr) && inserted.get()) {
          VARIANT before;
          VariantInit(&before);
          before.vt = VT_UNKNOWN;
          before.punkVal = first_child.get();  // borrowed for the call
          hr = root->insertBefore(inserted.get(), before, header.Out());
        }
      }
      if (!header.get()) {
        LogText("Error: Unable to create Header node -- patching failed.");
        return;
      }
    }
    hr = document->createNode(ElementType(), action_name.get(), namespace_uri.get(), action.Out());
    if (FAILED(hr) || !action.get()) {
      LogText("Error: Unable to create SoapAction node -- patching failed.");
      if (SUCCEEDED(hr)) hr = E_FAIL;
      return;
    }
    krsoap::com::BstrPtr text(soap_action_);
    action->put_text(text.get());
    hr = header->appendChild(action.get(), appended.Out());
    if (FAILED(hr) || !appended) {
      LogText("Error: Unable to append SoapAction node -- patching failed.");
      if (SUCCEEDED(hr)) hr = E_FAIL;
      return;
    }
    StreamArg destination(stream_);
    hr = LogPatchWritten(document->save(destination.v));
  }();
  TraceExit(u"CKRBaseConn::PatchSoap", hr);
  return hr;
}

HRESULT CKRBaseConn::WriteSoapUrlError() {
  TraceEntry(u"CKRBaseConn::WriteSoapUrlError");
  ComPtr<ISoapSerializer> serializer;
  HRESULT hr = CoCreateInstance(CLSID_SoapSerializer, nullptr, CLSCTX_ALL, IID_ISoapSerializer,
                                serializer.OutVoid());
  if (FAILED(hr) || !serializer) {
    LogText("Unable to create SoapSerializer.");
    if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
    TraceExit(u"CKRBaseConn::WriteSoapUrlError", hr);
    return hr;
  }
  {
    StreamArg destination(stream_);
    hr = serializer->Init(destination.v);
  }
  if (FAILED(hr)) {
    LogText("Unable to initialize SoapSerializer.");
    TraceExit(u"CKRBaseConn::WriteSoapUrlError", hr);
    return hr;
  }
  ComPtr<IStream> stream;
  hr = StreamInterface(&stream);
  if (FAILED(hr)) {
    TraceExit(u"CKRBaseConn::WriteSoapUrlError", hr);
    return hr;
  }
  // Throw the pending request away.
  STATSTG status{};
  stream->Stat(&status, STATFLAG_NONAME);
  if (status.cbSize.LowPart > 0) Drain(stream.get());
  krsoap::com::BstrPtr encoding{std::u16string_view(kSoapEncoding)};
  krsoap::com::BstrPtr code{std::u16string_view(u"Client")};
  krsoap::com::BstrPtr text{std::u16string_view(kUrlFaultString)};
  krsoap::com::BstrPtr empty{std::u16string_view(u"")};
  serializer->startEnvelope(nullptr, encoding.get(), nullptr);
  serializer->startBody(nullptr);
  serializer->startFault(code.get(), text.get(), empty.get(), empty.get());
  serializer->endFault();
  serializer->endBody();
  serializer->endEnvelope();
  TraceExit(u"CKRBaseConn::WriteSoapUrlError", hr);
  return hr;
}

}  // namespace krsoap::corvel
