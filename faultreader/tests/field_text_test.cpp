// The general number format and date texts.
#include "field_text.h"

#include <gtest/gtest.h>

using faultreader::FieldKind;
using faultreader::FormatGeneral;

namespace {

TEST(FieldText, GeneralFormatKeepsThePointAndDropsTrailingZeros) {
    EXPECT_EQ("3.", FormatGeneral(3.0, 20));
    EXPECT_EQ("100.", FormatGeneral(100.0, 20));
    EXPECT_EQ("0.25", FormatGeneral(0.25, 20));
    EXPECT_EQ("2.5", FormatGeneral(2.5, 10));
    EXPECT_EQ("-2.5", FormatGeneral(-2.5, 20));
    EXPECT_EQ("0.", FormatGeneral(0.0, 20));
    EXPECT_EQ("0.5", FormatGeneral(0.5, 20));
    // Exponent form below -1 and above n - 1, with three exponent digits.
    EXPECT_EQ("6.25e-002", FormatGeneral(0.0625, 20));
    EXPECT_EQ("1.e+010", FormatGeneral(1e10, 10));
    EXPECT_EQ("1234567890.", FormatGeneral(1234567890.0, 10));
    EXPECT_EQ("1.23456789e+010", FormatGeneral(12345678901.0, 10));
    EXPECT_EQ("0.10000000000000000555", FormatGeneral(0.1, 20));
    EXPECT_EQ("0.1000000015", FormatGeneral(static_cast<double>(0.1f), 10));
    // Rounding that carries into the next decade moves the exponent.
    EXPECT_EQ("1.e+010", FormatGeneral(9999999999.6, 10));
}

TEST(FieldText, DatesFromEachStoredForm) {
    std::string out;
    ASSERT_TRUE(faultreader::FormatDateText("2009-10-01 08:30:00", "", &out));
    EXPECT_EQ("2009-10-01 08:30:00", out);
    ASSERT_TRUE(faultreader::FormatDateText("2009-10-01T08:30:05", "%H.%M.%S %a", &out));
    EXPECT_EQ("08.30.05 Thu", out);
    ASSERT_TRUE(faultreader::FormatDateText("2009-10-01", "", &out));
    EXPECT_EQ("2009-10-01 00:00:00", out);
    EXPECT_FALSE(faultreader::FormatDateText("yesterday", "", &out));
    EXPECT_FALSE(faultreader::FormatDateText("2009-13-01", "", &out));
    ASSERT_TRUE(faultreader::FormatDateJulian(2451545.0, "", &out));
    EXPECT_EQ("2000-01-01 12:00:00", out);
    ASSERT_TRUE(faultreader::FormatDateUnix(1254385800, "", &out));
    EXPECT_EQ("2009-10-01 08:30:00", out);
    ASSERT_TRUE(faultreader::FormatDateUnix(-86400, "%Y-%m-%d %j", &out));
    EXPECT_EQ("1969-12-31 365", out);
}

TEST(FieldText, DeclaredTypesMapToKinds) {
    EXPECT_EQ(FieldKind::kInt32, faultreader::KindOfDeclaredType("INTEGER"));
    EXPECT_EQ(FieldKind::kInt32, faultreader::KindOfDeclaredType("long"));
    EXPECT_EQ(FieldKind::kText, faultreader::KindOfDeclaredType("VARCHAR(255)"));
    EXPECT_EQ(FieldKind::kText, faultreader::KindOfDeclaredType("LONGTEXT"));
    EXPECT_EQ(FieldKind::kOther, faultreader::KindOfDeclaredType("LONGBINARY"));
    EXPECT_EQ(FieldKind::kDate, faultreader::KindOfDeclaredType("DATETIME"));
    EXPECT_EQ(FieldKind::kBoolean, faultreader::KindOfDeclaredType("YESNO"));
    EXPECT_EQ(FieldKind::kBoolean, faultreader::KindOfDeclaredType("BIT"));
    EXPECT_EQ(FieldKind::kReal8, faultreader::KindOfDeclaredType("REAL"));
    EXPECT_EQ(FieldKind::kReal4, faultreader::KindOfDeclaredType("SINGLE"));
    EXPECT_EQ(FieldKind::kByte, faultreader::KindOfDeclaredType("BYTE"));
    EXPECT_EQ(FieldKind::kNone, faultreader::KindOfDeclaredType(nullptr));
}

}  // namespace
