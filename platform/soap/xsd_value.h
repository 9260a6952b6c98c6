// Simple XML Schema values and Automation VARIANTs: the text of a message
// element read as the VARIANT its XSD type calls for, and a VARIANT written
// as XSD text.
//
// Types read: string (and its derived string types, anyURI, QName), boolean,
// byte, unsignedByte, short, unsignedShort, int, unsignedInt, long,
// unsignedLong, integer and its derived types (as 64-bit integers), float,
// double, decimal (VT_DECIMAL, at most 28 digits after the point),
// dateTime and date (VT_DATE; a time zone is applied, so the value is UTC
// when the text named a zone), anyType (as a string). The lexical forms are
// XSD's: surrounding white space is ignored, numbers take no thousands
// separators, doubles are written "1.5E3", "INF", "-INF", "NaN".
#pragma once

#include <string>

#include "platform/com/variant.h"
#include "platform/soap/wsdl_model.h"

namespace krsoap::soap {

enum class XsdKind {
  kString,
  kBoolean,
  kByte,
  kUnsignedByte,
  kShort,
  kUnsignedShort,
  kInt,
  kUnsignedInt,
  kLong,
  kUnsignedLong,
  kInteger,
  kFloat,
  kDouble,
  kDecimal,
  kDateTime,
  kDate,
  kUnsupported,
};

// The kind of a type name in the XML Schema namespace (or the SOAP encoding
// namespace, whose simple types carry the same names). Unknown types and
// other namespaces are kUnsupported; an empty name reads as a string.
XsdKind KindOf(const QName& type);

// Reads `text` as a value of `kind` into `out` (VariantInit'ed by the
// caller). False with `why` set when the text is not a value of the type.
bool XsdToVariant(XsdKind kind, const std::string& text, VARIANT* out, std::string* why);

// Writes `value` as XSD text; `xsd_type` receives the XSD type name that
// describes it ("double", "string", ...). False with `why` set for a VARIANT
// that has no XSD form (objects, arrays, errors).
bool VariantToXsd(const VARIANT& value, std::string* text, std::string* xsd_type, std::string* why);

}  // namespace krsoap::soap
