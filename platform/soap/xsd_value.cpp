// XSD text to VARIANT and back; see xsd_value.h.
#include "platform/soap/xsd_value.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>

#include "platform/com/bstr.h"

namespace krsoap::soap {
namespace {

constexpr char kSoapEncNs[] = "http://schemas.xmlsoap.org/soap/encoding/";

std::string Collapse(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

// A decimal integer with an optional sign, nothing else.
bool ParseInteger(const std::string& t, __int128* out) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  if (i == t.size()) return false;
  __int128 v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    v = v * 10 + (t[i] - '0');
    if (v > (static_cast<__int128>(1) << 100)) return false;  // far beyond every type here
  }
  *out = neg ? -v : v;
  return true;
}

// XSD float/double lexical form: [sign] digits [. digits] [(e|E) [sign] digits],
// or INF, -INF, NaN.
bool ParseReal(const std::string& t, double* out, bool single) {
  if (t == "INF" || t == "+INF") {
    *out = std::numeric_limits<double>::infinity();
    return true;
  }
  if (t == "-INF") {
    *out = -std::numeric_limits<double>::infinity();
    return true;
  }
  if (t == "NaN") {
    *out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  size_t digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != t.size()) return false;
  const char* begin = t.data() + (t[0] == '+' ? 1 : 0);
  if (single) {
    float f = 0;
    auto r = std::from_chars(begin, t.data() + t.size(), f);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
    *out = f;
  } else {
    double d = 0;
    auto r = std::from_chars(begin, t.data() + t.size(), d);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
    *out = d;
  }
  return true;
}

bool ParseDecimal(const std::string& t, DECIMAL* out) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  std::string whole, frac;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') whole += t[i++];
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') frac += t[i++];
  }
  if (i != t.size() || (whole.empty() && frac.empty())) return false;
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  if (frac.size() > 28) return false;
  std::string digits = whole + frac;
  size_t nz = digits.find_first_not_of('0');
  digits = nz == std::string::npos ? "0" : digits.substr(nz);
  if (digits.size() > 29) return false;
  unsigned __int128 m = 0;
  for (char c : digits) m = m * 10 + static_cast<unsigned>(c - '0');
  if (m >> 96) return false;
  std::memset(out, 0, sizeof *out);
  out->scale = static_cast<BYTE>(frac.size());
  out->sign = neg && m != 0 ? 0x80 : 0;
  out->Hi32 = static_cast<ULONG>(m >> 64);
  out->Lo64 = static_cast<ULONGLONG>(m);
  return true;
}

std::string FormatDecimal(const DECIMAL& d) {
  unsigned __int128 m = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m);
  int scale = d.scale > 28 ? 28 : d.scale;
  if (scale > 0) {
    while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
    digits.insert(digits.end() - scale, '.');
  }
  bool zero = digits.find_first_not_of("0.") == std::string::npos;
  return (d.sign & 0x80) && !zero ? "-" + digits : digits;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Days from 1970-01-01 to the Automation date epoch 1899-12-30.
constexpr int64_t kDateEpoch = -25569;

bool Digits(const std::string& t, size_t at, size_t n, int* out) {
  if (at + n > t.size()) return false;
  int v = 0;
  for (size_t k = 0; k < n; ++k) {
    char c = t[at + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// YYYY-MM-DD[Thh:mm:ss[.f*]][Z|(+|-)hh:mm]; years 100 to 9999, the range
// of an Automation date.
bool ParseDateTime(const std::string& t, bool with_time, DATE* out) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  if (!Digits(t, 0, 4, &y) || t.size() < 10 || t[4] != '-' || !Digits(t, 5, 2, &mo) || t[7] != '-' ||
      !Digits(t, 8, 2, &d)) {
    return false;
  }
  size_t i = 10;
  double fraction = 0;
  if (with_time) {
    if (i >= t.size() || t[i] != 'T' || !Digits(t, 11, 2, &h) || t.size() < 19 || t[13] != ':' ||
        !Digits(t, 14, 2, &mi) || t[16] != ':' || !Digits(t, 17, 2, &s)) {
      return false;
    }
    i = 19;
    if (i < t.size() && t[i] == '.') {
      ++i;
      double scale = 0.1;
      size_t start = i;
      while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        fraction += (t[i] - '0') * scale;
        scale /= 10;
        ++i;
      }
      if (i == start) return false;
    }
  }
  int offset_minutes = 0;
  if (i < t.size()) {
    if (t[i] == 'Z' && i + 1 == t.size()) {
      ++i;
    } else if ((t[i] == '+' || t[i] == '-') && i + 6 == t.size() && t[i + 3] == ':') {
      int oh, om;
      if (!Digits(t, i + 1, 2, &oh) || !Digits(t, i + 4, 2, &om) || oh > 14 || om > 59) return false;
      offset_minutes = (oh * 60 + om) * (t[i] == '-' ? -1 : 1);
      i += 6;
    } else {
      return false;
    }
  }
  if (i != t.size()) return false;
  static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 24 || mi > 59 || s > 59) return false;
  if (mo == 2 && d == 29 && !((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return false;
  if (h == 24 && (mi || s || fraction > 0)) return false;
  int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) - kDateEpoch;
  double seconds = h * 3600.0 + mi * 60.0 + s + fraction - offset_minutes * 60.0;
  // Whole days and time of day, then the Automation encoding: before the
  // epoch the day counts down while the time of day still counts up.
  double total = static_cast<double>(days) * 86400.0 + seconds;
  double whole_days = std::floor(total / 86400.0);
  double time_of_day = (total - whole_days * 86400.0) / 86400.0;
  *out = whole_days >= 0 ? whole_days + time_of_day : whole_days - time_of_day;
  return true;
}

std::string FormatDate(DATE value) {
  // Back from the Automation encoding: the whole part counts days (down
  // before the epoch), the fraction's magnitude is always the time of day.
  double days = std::trunc(value);
  double time_of_day = std::fabs(value - days);
  double total_ms = std::round((days + time_of_day) * 86400000.0);
  int64_t ms = static_cast<int64_t>(total_ms);
  int64_t day = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  int64_t in_day = ms - day * 86400000;
  int64_t y;
  unsigned m, d;
  CivilFromDays(day + kDateEpoch, &y, &m, &d);
  char buf[64];
  int h = static_cast<int>(in_day / 3600000), mi = static_cast<int>(in_day / 60000 % 60),
      s = static_cast<int>(in_day / 1000 % 60), frac = static_cast<int>(in_day % 1000);
  if (frac) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d.%03d", static_cast<long long>(y), m, d, h, mi, s,
                  frac);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d", static_cast<long long>(y), m, d, h, mi, s);
  }
  return buf;
}

std::string FormatDouble(double v, bool single) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                  : std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, r.ptr);
  size_t e = s.find('e');
  if (e != std::string::npos) s[e] = 'E';
  return s;
}

template <class T>
std::string Int(T v) {
  return std::to_string(v);
}

}  // namespace

XsdKind KindOf(const QName& type) {
  if (type.local.empty()) return XsdKind::kString;
  if (type.ns != kXsdNs && type.ns != kSoapEncNs) return XsdKind::kUnsupported;
  static const std::map<std::string, XsdKind> kKinds = {
      {"string", XsdKind::kString},
      {"normalizedString", XsdKind::kString},
      {"token", XsdKind::kString},
      {"language", XsdKind::kString},
      {"Name", XsdKind::kString},
      {"NCName", XsdKind::kString},
      {"NMTOKEN", XsdKind::kString},
      {"ID", XsdKind::kString},
      {"anyURI", XsdKind::kString},
      {"QName", XsdKind::kString},
      {"anyType", XsdKind::kString},
      {"anySimpleType", XsdKind::kString},
      {"boolean", XsdKind::kBoolean},
      {"byte", XsdKind::kByte},
      {"unsignedByte", XsdKind::kUnsignedByte},
      {"short", XsdKind::kShort},
      {"unsignedShort", XsdKind::kUnsignedShort},
      {"int", XsdKind::kInt},
      {"unsignedInt", XsdKind::kUnsignedInt},
      {"long", XsdKind::kLong},
      {"unsignedLong", XsdKind::kUnsignedLong},
      {"integer", XsdKind::kInteger},
      {"positiveInteger", XsdKind::kInteger},
      {"negativeInteger", XsdKind::kInteger},
      {"nonNegativeInteger", XsdKind::kInteger},
      {"nonPositiveInteger", XsdKind::kInteger},
      {"float", XsdKind::kFloat},
      {"double", XsdKind::kDouble},
      {"decimal", XsdKind::kDecimal},
      {"dateTime", XsdKind::kDateTime},
      {"date", XsdKind::kDate},
  };
  auto it = kKinds.find(type.local);
  return it == kKinds.end() ? XsdKind::kUnsupported : it->second;
}

bool XsdToVariant(XsdKind kind, const std::string& raw, VARIANT* out, std::string* why) {
  if (kind == XsdKind::kString) {
    out->vt = VT_BSTR;
    out->bstrVal = com::AllocBstrFromUtf8(raw);
    if (!out->bstrVal) {
      out->vt = VT_EMPTY;
      *why = "out of memory";
      return false;
    }
    return true;
  }
  const std::string t = Collapse(raw);
  auto integer = [&](__int128 lo, __int128 hi, const char* name, auto store) {
    __int128 v = 0;
    if (!ParseInteger(t, &v)) {
      *why = "\"" + t + "\" is not an integer";
      return false;
    }
    if (v < lo || v > hi) {
      *why = "\"" + t + "\" is out of the range of " + name;
      return false;
    }
    store(v);
    return true;
  };
  switch (kind) {
    case XsdKind::kBoolean:
      if (t == "true" || t == "1" || t == "false" || t == "0") {
        out->vt = VT_BOOL;
        out->boolVal = (t == "true" || t == "1") ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
      }
      *why = "\"" + t + "\" is not a boolean (true, false, 1 or 0)";
      return false;
    case XsdKind::kByte:
      return integer(-128, 127, "byte", [&](__int128 v) { out->vt = VT_I1; out->cVal = static_cast<CHAR>(v); });
    case XsdKind::kUnsignedByte:
      return integer(0, 255, "unsignedByte", [&](__int128 v) { out->vt = VT_UI1; out->bVal = static_cast<BYTE>(v); });
    case XsdKind::kShort:
      return integer(INT16_MIN, INT16_MAX, "short", [&](__int128 v) { out->vt = VT_I2; out->iVal = static_cast<SHORT>(v); });
    case XsdKind::kUnsignedShort:
      return integer(0, UINT16_MAX, "unsignedShort",
                     [&](__int128 v) { out->vt = VT_UI2; out->uiVal = static_cast<USHORT>(v); });
    case XsdKind::kInt:
      return integer(INT32_MIN, INT32_MAX, "int", [&](__int128 v) { out->vt = VT_I4; out->lVal = static_cast<LONG>(v); });
    case XsdKind::kUnsignedInt:
      return integer(0, UINT32_MAX, "unsignedInt", [&](__int128 v) { out->vt = VT_UI4; out->ulVal = static_cast<ULONG>(v); });
    case XsdKind::kLong:
    case XsdKind::kInteger:
      return integer(INT64_MIN, INT64_MAX, kind == XsdKind::kLong ? "long" : "a 64-bit integer",
                     [&](__int128 v) { out->vt = VT_I8; out->llVal = static_cast<LONGLONG>(v); });
    case XsdKind::kUnsignedLong:
      return integer(0, static_cast<__int128>(UINT64_MAX), "unsignedLong",
                     [&](__int128 v) { out->vt = VT_UI8; out->ullVal = static_cast<ULONGLONG>(v); });
    case XsdKind::kFloat:
    case XsdKind::kDouble: {
      double d = 0;
      if (!ParseReal(t, &d, kind == XsdKind::kFloat)) {
        *why = "\"" + t + "\" is not a " + (kind == XsdKind::kFloat ? "float" : "double");
        return false;
      }
      if (kind == XsdKind::kFloat) {
        out->vt = VT_R4;
        out->fltVal = static_cast<float>(d);
      } else {
        out->vt = VT_R8;
        out->dblVal = d;
      }
      return true;
    }
    case XsdKind::kDecimal: {
      DECIMAL dec;
      if (!ParseDecimal(t, &dec)) {
        *why = "\"" + t + "\" is not a decimal of at most 29 digits";
        return false;
      }
      out->decVal = dec;  // overwrites the tag's word: set vt afterwards
      out->vt = VT_DECIMAL;
      return true;
    }
    case XsdKind::kDateTime:
    case XsdKind::kDate: {
      DATE d = 0;
      if (!ParseDateTime(t, kind == XsdKind::kDateTime, &d)) {
        *why = "\"" + t + "\" is not a " + (kind == XsdKind::kDate ? "date" : "dateTime") + " between the years 100 and 9999";
        return false;
      }
      out->vt = VT_DATE;
      out->date = d;
      return true;
    }
    default:
      *why = "the type is not supported";
      return false;
  }
}

bool VariantToXsd(const VARIANT& in, std::string* text, std::string* xsd_type, std::string* why) {
  const VARIANT* v = &in;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
      *text = "";
      *xsd_type = "string";
      return true;
    case VT_BSTR:
      *text = com::BstrToUtf8(v->bstrVal);
      *xsd_type = "string";
      return true;
    case VT_BOOL:
      *text = v->boolVal ? "true" : "false";
      *xsd_type = "boolean";
      return true;
    case VT_I1: *text = Int(static_cast<int>(v->cVal)); *xsd_type = "byte"; return true;
    case VT_UI1: *text = Int(static_cast<unsigned>(v->bVal)); *xsd_type = "unsignedByte"; return true;
    case VT_I2: *text = Int(v->iVal); *xsd_type = "short"; return true;
    case VT_UI2: *text = Int(v->uiVal); *xsd_type = "unsignedShort"; return true;
    case VT_I4: *text = Int(v->lVal); *xsd_type = "int"; return true;
    case VT_INT: *text = Int(v->intVal); *xsd_type = "int"; return true;
    case VT_UI4: *text = Int(v->ulVal); *xsd_type = "unsignedInt"; return true;
    case VT_UINT: *text = Int(v->uintVal); *xsd_type = "unsignedInt"; return true;
    case VT_I8: *text = Int(v->llVal); *xsd_type = "long"; return true;
    case VT_UI8: *text = Int(v->ullVal); *xsd_type = "unsignedLong"; return true;
    case VT_R4: *text = FormatDouble(v->fltVal, true); *xsd_type = "float"; return true;
    case VT_R8: *text = FormatDouble(v->dblVal, false); *xsd_type = "double"; return true;
    case VT_DECIMAL: *text = FormatDecimal(v->decVal); *xsd_type = "decimal"; return true;
    case VT_CY: {
      DECIMAL d{};
      LONGLONG c = v->cyVal.int64;
      unsigned __int128 m = c < 0 ? static_cast<unsigned __int128>(-static_cast<__int128>(c)) : c;
      d.scale = 4;
      d.sign = c < 0 ? 0x80 : 0;
      d.Lo64 = static_cast<ULONGLONG>(m);
      *text = FormatDecimal(d);
      *xsd_type = "decimal";
      return true;
    }
    case VT_DATE:
      if (!(v->date > -657435.0 && v->date < 2958466.0)) {
        *why = "the date is outside the years 100 to 9999";
        return false;
      }
      *text = FormatDate(v->date);
      *xsd_type = "dateTime";
      return true;
    default:
      *why = "a value of VARIANT type " + std::to_string(v->vt) + " has no XSD form";
      return false;
  }
}

}  // namespace krsoap::soap
