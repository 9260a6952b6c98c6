// Text helpers of the toolkit module: BSTR to UTF-8, XML escaping and name
// checks.
#pragma once

#include <string>

#include "platform/com/bstr.h"

namespace krsoap::soap {

inline std::string Utf8(BSTR b) { return b ? krsoap::com::BstrToUtf8(b) : std::string(); }

// False when `text` holds a character XML 1.0 cannot carry (control
// characters other than tab, line feed and carriage return).
bool XmlCharsOk(const std::string& text);

// Escapes character data; carriage returns become &#xD; so that they
// survive a reader's line-end normalisation.
std::string EscapeText(const std::string& text);
// Escapes an attribute value (quotes and white space too).
std::string EscapeAttribute(const std::string& text);

// An XML name without a colon (NCName), roughly: letters, digits and
// ". - _" and any non-ASCII character, not starting with a digit, "." or "-".
bool IsNcName(const std::string& name);

}  // namespace krsoap::soap
