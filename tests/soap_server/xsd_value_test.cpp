// XSD text and VARIANTs: the boundaries of each integer type, real numbers'
// special values, decimals and dates both ways.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/soap/xsd_value.h"

namespace krsoap::soap {
namespace {

QName Xsd(const char* local) { return QName{kXsdNs, local}; }

struct Converted {
  bool ok;
  VARIANT v;
  std::string why;
  Converted(const char* type, const std::string& text) {
    VariantInit(&v);
    ok = XsdToVariant(KindOf(Xsd(type)), text, &v, &why);
  }
  ~Converted() { VariantClear(&v); }
};

std::string Text(const VARIANT& v, std::string* type = nullptr) {
  std::string text, t, why;
  EXPECT_TRUE(VariantToXsd(v, &text, &t, &why)) << why;
  if (type) *type = t;
  return text;
}

TEST(XsdValue, IntegerBoundaries) {
  EXPECT_TRUE(Converted("int", "2147483647").ok);
  EXPECT_FALSE(Converted("int", "2147483648").ok);
  EXPECT_TRUE(Converted("int", "-2147483648").ok);
  EXPECT_TRUE(Converted("int", " +42\n").ok);
  EXPECT_FALSE(Converted("int", "").ok);
  EXPECT_FALSE(Converted("int", "-").ok);
  EXPECT_FALSE(Converted("int", "4 2").ok);
  EXPECT_FALSE(Converted("long", std::string(400, '9')).ok);  // no overflow on the way
  EXPECT_TRUE(Converted("unsignedLong", "18446744073709551615").ok);
  EXPECT_TRUE(Converted("unsignedLong", "-0").ok);  // -0 is 0
  Converted b("byte", "-128");
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(VT_I1, b.v.vt);
  EXPECT_EQ("-128", Text(b.v));
  Converted ul("unsignedLong", "18446744073709551615");
  EXPECT_EQ("18446744073709551615", Text(ul.v));
}

TEST(XsdValue, RealsAndSpecialValues) {
  Converted inf("double", "-INF");
  ASSERT_TRUE(inf.ok);
  EXPECT_TRUE(std::isinf(inf.v.dblVal));
  EXPECT_EQ("-INF", Text(inf.v));
  Converted nan("double", "NaN");
  ASSERT_TRUE(nan.ok);
  EXPECT_EQ("NaN", Text(nan.v));
  for (const char* bad : {"inf", "nan", "0x1p3", ".", "1e", "1.5.2", "1,5", " "}) {
    EXPECT_FALSE(Converted("double", bad).ok) << bad;
  }
  EXPECT_TRUE(Converted("double", ".5").ok);
  EXPECT_TRUE(Converted("double", "5.").ok);
  EXPECT_FALSE(Converted("float", "1e39").ok);  // beyond a float
  Converted big("double", "1e300");
  std::string type;
  EXPECT_EQ("1E+300", Text(big.v, &type));
  EXPECT_EQ("double", type);
  Converted third("double", "0.1");
  EXPECT_EQ("0.1", Text(third.v));
}

TEST(XsdValue, DecimalsKeepEveryDigit) {
  Converted d("decimal", "-79228162514264337593543950335");
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ("-79228162514264337593543950335", Text(d.v));
  EXPECT_FALSE(Converted("decimal", "79228162514264337593543950336").ok);
  Converted f("decimal", "0012.50");
  ASSERT_TRUE(f.ok);
  EXPECT_EQ("12.5", Text(f.v));
  Converted small("decimal", "-0.0000000000000000000000000001");
  ASSERT_TRUE(small.ok);
  EXPECT_EQ("-0.0000000000000000000000000001", Text(small.v));
  Converted zero("decimal", "-0.000");
  EXPECT_EQ("0", Text(zero.v));
  EXPECT_FALSE(Converted("decimal", "1e5").ok);
  EXPECT_FALSE(Converted("decimal", "0.00000000000000000000000000001").ok);  // 29 places
}

TEST(XsdValue, DatesAndTimes) {
  Converted epoch("dateTime", "1899-12-30T00:00:00");
  ASSERT_TRUE(epoch.ok);
  EXPECT_EQ(0.0, epoch.v.date);
  Converted noon("dateTime", "2000-01-01T12:00:00");
  ASSERT_TRUE(noon.ok);
  EXPECT_DOUBLE_EQ(36526.5, noon.v.date);
  EXPECT_EQ("2000-01-01T12:00:00", Text(noon.v));
  // Before the epoch the day counts down and the time of day up.
  Converted before("dateTime", "1899-12-29T06:00:00");
  ASSERT_TRUE(before.ok);
  EXPECT_DOUBLE_EQ(-1.25, before.v.date);
  EXPECT_EQ("1899-12-29T06:00:00", Text(before.v));
  // A zone is applied: the value is UTC.
  Converted zoned("dateTime", "2000-01-01T12:00:00+02:00");
  ASSERT_TRUE(zoned.ok);
  EXPECT_EQ("2000-01-01T10:00:00", Text(zoned.v));
  Converted ms("dateTime", "2020-05-17T23:59:59.250Z");
  ASSERT_TRUE(ms.ok);
  EXPECT_EQ("2020-05-17T23:59:59.250", Text(ms.v));
  for (const char* bad : {"2021-02-29T00:00:00", "2020-13-01T00:00:00", "2020-01-01T25:00:00", "2020-01-01",
                          "0099-01-01T00:00:00", "2020-01-01T00:00:00+15:00", "2020-01-01T00:00:00Zjunk"}) {
    EXPECT_FALSE(Converted("dateTime", bad).ok) << bad;
  }
  EXPECT_TRUE(Converted("date", "2024-02-29").ok);
  EXPECT_FALSE(Converted("date", "2024-02-29T00:00:00").ok);
}

TEST(XsdValue, UnwritableVariants) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = nullptr;
  std::string text, type, why;
  EXPECT_FALSE(VariantToXsd(v, &text, &type, &why));
  EXPECT_FALSE(why.empty());
  v.vt = VT_DATE;
  v.date = 1e9;  // far beyond the year 9999
  EXPECT_FALSE(VariantToXsd(v, &text, &type, &why));
  EXPECT_EQ(XsdKind::kUnsupported, KindOf(QName{"urn:other", "double"}));
  EXPECT_EQ(XsdKind::kString, KindOf(QName{}));
}

}  // namespace
}  // namespace krsoap::soap
