#include "field_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace faultreader {

namespace {

const char kDefaultDateFormat[] = "%Y-%m-%d %H:%M:%S";

// Drops trailing zeros after a decimal point, keeping the point.
void TrimZeros(std::string* pText) {
    const size_t dot = pText->find('.');
    if (dot == std::string::npos)
        return;
    size_t end = pText->size();
    while (end > dot + 1 && (*pText)[end - 1] == '0')
        --end;
    pText->resize(end);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(long long z, int* pYear, int* pMonth, int* pDay) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    *pYear = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *pMonth = static_cast<int>(m);
    *pDay = static_cast<int>(d);
}

long long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool Format(int y, int mo, int d, int h, int mi, int s, const std::string& strFormat,
            std::string* pOut) {
    struct tm tmValue;
    std::memset(&tmValue, 0, sizeof tmValue);
    tmValue.tm_year = y - 1900;
    tmValue.tm_mon = mo - 1;
    tmValue.tm_mday = d;
    tmValue.tm_hour = h;
    tmValue.tm_min = mi;
    tmValue.tm_sec = s;
    const long long days = DaysFromCivil(y, mo, d);
    tmValue.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    tmValue.tm_yday = static_cast<int>(days - DaysFromCivil(y, 1, 1));
    const char* lpszFormat = strFormat.empty() ? kDefaultDateFormat : strFormat.c_str();
    char szText[256];
    const size_t cb = std::strftime(szText, sizeof szText, lpszFormat, &tmValue);
    if (cb == 0 && lpszFormat[0] != '\0')
        return false;
    pOut->assign(szText, cb);
    return true;
}

bool FormatSeconds(long long llSeconds, const std::string& strFormat, std::string* pOut) {
    long long days = llSeconds / 86400;
    long long rest = llSeconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int y, mo, d;
    CivilFromDays(days, &y, &mo, &d);
    return Format(y, mo, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                  static_cast<int>(rest % 60), strFormat, pOut);
}

bool HasWord(const std::string& strUpper, const char* lpszWord) {
    return strUpper.find(lpszWord) != std::string::npos;
}

}  // namespace

std::string FormatGeneral(double dValue, int nDigits) {
    if (!std::isfinite(dValue)) {
        char szText[32];
        std::snprintf(szText, sizeof szText, "%g", dValue);
        return szText;
    }
    // The exponent is taken after rounding to nDigits, so 9.99...9 that
    // rounds up to 10 moves into the next decade as printf would.
    char szExp[64];
    std::snprintf(szExp, sizeof szExp, "%.*e", nDigits - 1, dValue);
    const char* lpszE = std::strchr(szExp, 'e');
    const int nExp = lpszE != nullptr ? std::atoi(lpszE + 1) : 0;
    std::string text;
    if (nExp < -1 || nExp > nDigits - 1) {
        text.assign(szExp, static_cast<size_t>(lpszE - szExp));
        TrimZeros(&text);
        char szTail[16];
        std::snprintf(szTail, sizeof szTail, "e%c%03d", nExp < 0 ? '-' : '+', std::abs(nExp));
        text += szTail;
    } else {
        char szFixed[400];
        // "#" keeps the point when no digits follow it.
        std::snprintf(szFixed, sizeof szFixed, "%#.*f", nDigits - (nExp + 1), dValue);
        text = szFixed;
        TrimZeros(&text);
    }
    return text;
}

bool FormatDateText(const std::string& strIso, const std::string& strFormat, std::string* pOut) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0;
    int nRead = 0;
    const int nFields = std::sscanf(strIso.c_str(), "%4d-%2d-%2d%n%c%2d:%2d:%2d", &y, &mo, &d,
                                    &nRead, &sep, &h, &mi, &s);
    if (nFields < 3 || mo < 1 || mo > 12 || d < 1 || d > 31)
        return false;
    if (nFields > 3 && sep != ' ' && sep != 'T')
        return false;
    if (nFields > 3 && nFields < 6)
        return false;
    if (h > 23 || mi > 59 || s > 60 || h < 0 || mi < 0 || s < 0)
        return false;
    return Format(y, mo, d, h, mi, s, strFormat, pOut);
}

bool FormatDateJulian(double dJulianDay, const std::string& strFormat, std::string* pOut) {
    if (!std::isfinite(dJulianDay) || dJulianDay < 0 || dJulianDay > 5373484.0)
        return false;
    const double dSeconds = std::floor((dJulianDay - 2440587.5) * 86400.0 + 0.5);
    return FormatSeconds(static_cast<long long>(dSeconds), strFormat, pOut);
}

bool FormatDateUnix(long long llSeconds, const std::string& strFormat, std::string* pOut) {
    // Beyond year 9999 (or before year 0) there is no date to show.
    if (llSeconds < -62167219200LL || llSeconds > 253402300799LL)
        return false;
    return FormatSeconds(llSeconds, strFormat, pOut);
}

FieldKind KindOfDeclaredType(const char* lpszDeclType) {
    if (lpszDeclType == nullptr || *lpszDeclType == '\0')
        return FieldKind::kNone;
    std::string upper(lpszDeclType);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (HasWord(upper, "BOOL") || upper == "BIT" || HasWord(upper, "YESNO") ||
        HasWord(upper, "LOGICAL"))
        return FieldKind::kBoolean;
    if (HasWord(upper, "DATE") || HasWord(upper, "TIME"))
        return FieldKind::kDate;
    if (HasWord(upper, "CHAR") || HasWord(upper, "TEXT") || HasWord(upper, "CLOB") ||
        HasWord(upper, "MEMO") || HasWord(upper, "STRING"))
        return FieldKind::kText;
    if (HasWord(upper, "BLOB") || HasWord(upper, "BINARY"))
        return FieldKind::kOther;
    if (HasWord(upper, "BIGINT") || HasWord(upper, "INT8") || HasWord(upper, "INT64"))
        return FieldKind::kInt64;
    if (HasWord(upper, "TINYINT") || HasWord(upper, "BYTE"))
        return FieldKind::kByte;
    if (HasWord(upper, "SMALLINT") || HasWord(upper, "SHORT") || HasWord(upper, "INT2"))
        return FieldKind::kInt16;
    if (HasWord(upper, "INT") || HasWord(upper, "LONG") || HasWord(upper, "COUNTER"))
        return FieldKind::kInt32;
    if (HasWord(upper, "CURRENCY") || HasWord(upper, "MONEY"))
        return FieldKind::kCurrency;
    if (HasWord(upper, "DEC") || HasWord(upper, "NUMERIC"))
        return FieldKind::kDecimal;
    if (HasWord(upper, "SINGLE") || HasWord(upper, "FLOAT4"))
        return FieldKind::kReal4;
    if (HasWord(upper, "REAL") || HasWord(upper, "FLOA") || HasWord(upper, "DOUB"))
        return FieldKind::kReal8;
    return FieldKind::kOther;
}

}  // namespace faultreader
