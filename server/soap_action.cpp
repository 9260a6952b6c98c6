// ExtractSoapAction: finds the SOAP action that the client put into a
// request envelope (an element named with the root element's prefix and
// "SoapAction") and stores its text as the handler's SoapAction. A request in
// the plain form is read straight off its text (action_text.h); any other is
// parsed with the XML DOM component, created through COM once per handler
// and kept. Both routes write the same trace lines for the same request.
#include <cstring>
#include <string>
#include <string_view>

#include "common/trace/trace.h"
#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/com/variant.h"
#include "platform/win32/last_error.h"
#include "platform/text/convert.h"
#include "server/action_text.h"
#include "server/pool.h"
#include "server/soap_handler.h"

namespace krsoap::halvex {

HRESULT CKRSoapHandler::EnsureXmlDocument() {
  if (xml_document_) return S_OK;
  HRESULT hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(&xml_document_));
  if (FAILED(hr) || !xml_document_) {
    LogText("Failed to create blank XML Document, hr = %x", static_cast<unsigned>(hr));
    xml_document_ = nullptr;
    return hr;
  }
  LogText("Create new IXMLDOMDocument");
  return hr;
}

LONG CKRSoapHandler::ExtractSoapAction(const char* text, size_t length) {
  krsoap::trace::TraceEntry(u"ExtractSoapAction");
  LONG result = 0;
  HRESULT last = S_OK;  // the exit line's value: the last COM step that ran
  // The text route still makes the handler's document when it has none, so
  // that a handler's first request writes the same lines either way.
  if (FindActionText(std::string_view(text, length), &action_text_)) {
    if (!xml_document_) {
      last = EnsureXmlDocument();
      if (!xml_document_) result = FAILED(last) ? last : E_NOINTERFACE;
    }
    if (xml_document_) {
      LogText("Search for node %s", action_text_.tag.c_str());
      LogText("Found %ld elements by tagname %s", action_text_.count, action_text_.tag.c_str());
      if (action_text_.count >= 1) {
        soap_action_ = krsoap::platform::Utf8ToUtf16(action_text_.text);
        LogText("SoapAction = %s", action_text_.text.c_str());
      }
    }
    krsoap::trace::TraceExit(u"ExtractSoapAction", last);
    return result;
  }
  SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
  if (!bytes) {
    DWORD error = GetLastError();
    LogText("Failed to create SafeArrayVector, rc = %ld", static_cast<long>(error));
    result = static_cast<LONG>(error);
  } else {
    bool stored = true;
    if (length > 0) {
      // The bytes go over unchanged, element i getting byte i.
      void* data = nullptr;
      last = SafeArrayAccessData(bytes, &data);
      if (FAILED(last)) {
        LogText("Error %08x in SafeArrayPutElement(%ld)", static_cast<unsigned>(last), 0L);
        result = last;
        stored = false;
      } else {
        std::memcpy(data, text, length);
        SafeArrayUnaccessData(bytes);
      }
    }
    if (stored && !xml_document_) {
      last = EnsureXmlDocument();
      if (!xml_document_) result = FAILED(last) ? last : E_NOINTERFACE;
    }
    if (stored && xml_document_) {
      VARIANT source;
      VariantInit(&source);
      source.vt = VT_ARRAY | VT_UI1;
      source.parray = bytes;  // borrowed: destroyed below
      VARIANT_BOOL loaded = VARIANT_FALSE;
      if (xml_document_->load(source, &loaded) != S_OK) {
        LogText("Failed to load XML Document");
      } else {
        IXMLDOMElement* root = nullptr;
        last = xml_document_->get_documentElement(&root);
        if (FAILED(last) || !root) {
          LogText("Failed to Get Root Document Element, hr = %ld", static_cast<long>(last));
        } else {
          std::u16string tag;
          BSTR prefix = nullptr;
          if (root->get_prefix(&prefix) == S_OK) {
            tag = krsoap::com::BstrView(prefix);
            tag += u':';
          }
          SysFreeString(prefix);
          root->Release();
          tag += u"SoapAction";
          const std::string narrow_tag = krsoap::platform::Utf16ToUtf8(tag);
          LogText("Search for node %s", narrow_tag.c_str());
          krsoap::com::BstrPtr tag_bstr(tag);
          IXMLDOMNodeList* list = nullptr;
          last = xml_document_->getElementsByTagName(tag_bstr.get(), &list);
          if (FAILED(last) || !list) {
            LogText("Failed to getElementsyTagName, hr = %x", static_cast<unsigned>(last));
          } else {
            LONG count = 0;
            list->get_length(&count);
            LogText("Found %ld elements by tagname %s", static_cast<long>(count), narrow_tag.c_str());
            if (count >= 1) {
              IXMLDOMNode* node = nullptr;
              if (SUCCEEDED(list->get_item(0, &node)) && node) {
                BSTR value = nullptr;
                node->get_text(&value);
                soap_action_ = std::u16string(krsoap::com::BstrView(value));
                SysFreeString(value);
                const std::string narrow = krsoap::platform::Utf16ToUtf8(soap_action_);
                LogText("SoapAction = %s", narrow.c_str());
                node->Release();
              }
            }
            list->Release();
          }
        }
      }
    }
    SafeArrayDestroy(bytes);
  }
  krsoap::trace::TraceExit(u"ExtractSoapAction", last);
  return result;
}

}  // namespace krsoap::halvex
