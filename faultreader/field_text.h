// Text forms of field values: the general number format and dates.
#pragma once

#include <string>

namespace faultreader {

// The value with nDigits significant digits: exponent form d.ddd e+XXX when
// the decimal exponent is below -1 or above nDigits - 1, fixed otherwise;
// trailing zeros after the point dropped, the point itself kept (3.0 gives
// "3.", 0.25 gives "0.25").
std::string FormatGeneral(double dValue, int nDigits);

// A stored date as text with strftime codes (strFormat; "%Y-%m-%d %H:%M:%S"
// when empty). The stored form is SQLite's: ISO text "YYYY-MM-DD[ HH:MM:SS]"
// (or with "T"), a real Julian day number, or integer Unix seconds. FALSE
// for text that is no date.
bool FormatDateText(const std::string& strIso, const std::string& strFormat, std::string* pOut);
bool FormatDateJulian(double dJulianDay, const std::string& strFormat, std::string* pOut);
bool FormatDateUnix(long long llSeconds, const std::string& strFormat, std::string* pOut);

// How a column's declared type maps to the value kinds the layer knows.
enum class FieldKind {
    kNone,  // no declared type: by the value's storage class
    kByte,
    kInt16,
    kInt32,
    kInt64,  // refused, as other 64-bit integers
    kReal4,
    kReal8,
    kDecimal,
    kCurrency,  // refused
    kDate,
    kBoolean,
    kText,
    kOther,  // binary and anything else: refused
};
FieldKind KindOfDeclaredType(const char* lpszDeclType);

}  // namespace faultreader
