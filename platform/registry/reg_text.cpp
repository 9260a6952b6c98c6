// UTF conversions and name folding for the registry (see reg_text.h). The
// conversions themselves are the platform's; this file adds the byte layout
// of stored string values and the folding of names.
#include "platform/registry/reg_text.h"

#include "platform/text/convert.h"

namespace krsoap::platform::regtext {

std::u16string ToUtf16(std::string_view utf8) { return Utf8ToUtf16(utf8); }

std::string ToUtf8(std::u16string_view utf16) { return Utf16ToUtf8(utf16); }

std::string Utf16BytesToUtf8(std::string_view bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return Utf16ToUtf8(units);
}

std::string Utf8ToUtf16Bytes(std::string_view utf8) {
  std::u16string w = Utf8ToUtf16(utf8);
  std::string out;
  out.resize(w.size() * 2);
  for (size_t i = 0; i < w.size(); ++i) {
    out[2 * i] = static_cast<char>(w[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(w[i] >> 8);
  }
  return out;
}

char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
    return (c & 1) ? static_cast<char16_t>(c - 1) : c;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
    return (c & 1) ? c : static_cast<char16_t>(c - 1);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x3B1 && c <= 0x3C9) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::string Fold(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldUnit(c);
  return Utf16ToUtf8(folded);
}

size_t Utf16Length(std::string_view utf8) { return Utf8ToUtf16(utf8).size(); }

}  // namespace krsoap::platform::regtext
