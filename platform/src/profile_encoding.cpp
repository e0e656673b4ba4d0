// Profile file encodings: UTF-16 files by their byte-order mark, the
// document's text as UTF-8 for them, and the code-page conversions.
#include "profile_encoding.h"

#include <climits>
#include <cstdint>

#include "platform/win_codepage.h"
#include "platform/win_error.h"

namespace platform {
namespace {

constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

bool FitsInt(size_t n) {
    if (n <= static_cast<size_t>(INT_MAX))
        return true;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

// The 16-bit unit at index i of the UTF-16 text after the mark.
uint32_t Unit(std::string_view units, size_t i, bool bBigEndian) {
    const auto lo = static_cast<unsigned char>(units[2 * i + (bBigEndian ? 1 : 0)]);
    const auto hi = static_cast<unsigned char>(units[2 * i + (bBigEndian ? 0 : 1)]);
    return static_cast<uint32_t>(hi) << 8 | lo;
}

void PutUnit(std::string* pBytes, uint32_t u, bool bBigEndian) {
    const char lo = static_cast<char>(u & 0xFF);
    const char hi = static_cast<char>(u >> 8);
    pBytes->push_back(bBigEndian ? hi : lo);
    pBytes->push_back(bBigEndian ? lo : hi);
}

}  // namespace

UINT ProfileCodePage(ProfileEncoding encoding) {
    return encoding == ProfileEncoding::Ansi ? CP_ACP : CP_UTF8;
}

bool WideFromNarrow(UINT uCodePage, std::string_view text, std::wstring* pWide) {
    pWide->clear();
    if (text.empty())
        return true;
    if (!FitsInt(text.size()))
        return false;
    const int cb = static_cast<int>(text.size());
    int n = MultiByteToWideChar(uCodePage, 0, text.data(), cb, nullptr, 0);
    if (n <= 0)
        return false;
    pWide->resize(static_cast<size_t>(n));
    if (MultiByteToWideChar(uCodePage, 0, text.data(), cb, pWide->data(), n) != n) {
        pWide->clear();
        return false;
    }
    return true;
}

bool NarrowFromWide(UINT uCodePage, std::wstring_view wide, std::string* pText) {
    pText->clear();
    if (wide.empty())
        return true;
    if (!FitsInt(wide.size()))
        return false;
    const int cch = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(uCodePage, 0, wide.data(), cch, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    pText->resize(static_cast<size_t>(n));
    if (WideCharToMultiByte(uCodePage, 0, wide.data(), cch, pText->data(), n, nullptr, nullptr) !=
        n) {
        pText->clear();
        return false;
    }
    return true;
}

bool DecodeProfileFile(std::string_view bytes, ProfileEncoding* pEncoding, std::string* pText) {
    const std::string_view mark = bytes.substr(0, 2);
    if (mark != kUtf16LeMark && mark != kUtf16BeMark) {
        *pEncoding = ProfileEncoding::Ansi;
        pText->assign(bytes);
        return true;
    }
    const bool bBigEndian = mark == kUtf16BeMark;
    *pEncoding = bBigEndian ? ProfileEncoding::Utf16Be : ProfileEncoding::Utf16Le;
    const std::string_view units = bytes.substr(2);
    const size_t nUnits = units.size() / 2;
    // wchar_t holds a whole code point here: pairs of surrogates become one.
    std::wstring wide;
    wide.reserve(nUnits);
    for (size_t i = 0; i < nUnits; ++i) {
        uint32_t c = Unit(units, i, bBigEndian);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < nUnits) {
            const uint32_t low = Unit(units, i + 1, bBigEndian);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        wide.push_back(static_cast<wchar_t>(c));
    }
    return NarrowFromWide(CP_UTF8, wide, pText);
}

bool EncodeProfileFile(ProfileEncoding encoding, std::string_view text, std::string* pBytes) {
    if (encoding == ProfileEncoding::Ansi) {
        pBytes->assign(text);
        return true;
    }
    std::wstring wide;
    if (!WideFromNarrow(CP_UTF8, text, &wide))
        return false;
    const bool bBigEndian = encoding == ProfileEncoding::Utf16Be;
    pBytes->assign(bBigEndian ? kUtf16BeMark : kUtf16LeMark);
    pBytes->reserve(2 + 2 * wide.size());
    for (wchar_t ch : wide) {
        const auto c = static_cast<uint32_t>(ch);
        if (c >= 0x10000) {
            PutUnit(pBytes, 0xD800 + ((c - 0x10000) >> 10), bBigEndian);
            PutUnit(pBytes, 0xDC00 + ((c - 0x10000) & 0x3FF), bBigEndian);
        } else {
            PutUnit(pBytes, c, bBigEndian);
        }
    }
    return true;
}

}  // namespace platform
