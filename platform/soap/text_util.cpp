// Text helpers of the toolkit module; see text_util.h.
#include "platform/soap/text_util.h"

namespace krsoap::soap {

bool XmlCharsOk(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  // U+FFFE and U+FFFF (EF BF BE / EF BF BF) are not characters either.
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) == 0xBE || static_cast<unsigned char>(text[i + 2]) == 0xBF))
      return false;
  }
  return true;
}

std::string EscapeText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#xD;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string EscapeAttribute(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#x9;"; break;
      case '\n': out += "&#xA;"; break;
      case '\r': out += "&#xD;"; break;
      default: out += c;
    }
  }
  return out;
}

bool IsNcName(const std::string& name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
    bool other = (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (i == 0 ? !letter : !(letter || other)) return false;
  }
  return true;
}

}  // namespace krsoap::soap
