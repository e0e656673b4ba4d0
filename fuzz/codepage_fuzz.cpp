// The code-page conversions: GBK and UTF-8 text from files and databases,
// wide text from the programs. The first input byte chooses the code page,
// the flags and the buffer sizes; the rest is converted as narrow bytes and,
// read as 16-bit (or 32-bit) units, as wide text. Every output buffer is a
// heap block of exactly the size passed, so a write past it is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codepage_internal.h"
#include "platform/ext/ansi_code_page.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "codepage: %s\n", what);
    std::abort();
}

// Output sizes to try around the size needed: too small by one, exact,
// roomy, tiny.
std::vector<int> SizesAround(int nNeeded, uint8_t bSalt) {
    std::vector<int> sizes = {nNeeded, nNeeded + 3, 1, 2, 1 + bSalt % 7};
    if (nNeeded > 1)
        sizes.push_back(nNeeded - 1);
    if (nNeeded > 2)
        sizes.push_back(nNeeded / 2);
    return sizes;
}

// Narrow to wide: every output size gives either the whole result or a
// failure with ERROR_INSUFFICIENT_BUFFER, never a write past the buffer.
// Returns the full result (empty when the conversion fails).
std::wstring CheckToWide(UINT cp, DWORD flags, const char* src, int cb, uint8_t bSalt) {
    const int nNeeded = MultiByteToWideChar(cp, flags, src, cb, nullptr, 0);
    if (nNeeded < 0)
        Fail("negative size needed");
    std::wstring full;
    if (nNeeded > 0) {
        auto buf = std::make_unique<wchar_t[]>(static_cast<size_t>(nNeeded));
        if (MultiByteToWideChar(cp, flags, src, cb, buf.get(), nNeeded) != nNeeded)
            Fail("to wide: the size needed is not the size written");
        full.assign(buf.get(), static_cast<size_t>(nNeeded));
        if (cb == -1 && (full.back() != L'\0' || full.find(L'\0') != full.size() - 1))
            Fail("to wide: a terminated input gives an unterminated result");
    }
    for (int cap : SizesAround(nNeeded, bSalt)) {
        if (cap <= 0)
            continue;
        auto buf = std::make_unique<wchar_t[]>(static_cast<size_t>(cap));
        SetLastError(0);
        const int n = MultiByteToWideChar(cp, flags, src, cb, buf.get(), cap);
        if (nNeeded == 0) {
            if (n != 0)
                Fail("to wide: a failed conversion succeeds with a buffer");
        } else if (cap >= nNeeded) {
            if (n != nNeeded || full.compare(0, full.size(), buf.get(), n) != 0)
                Fail("to wide: a roomy buffer gives another result");
        } else if (n != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            Fail("to wide: a small buffer is not reported as too small");
        }
    }
    return full;
}

// Wide to narrow, the same checks.
std::string CheckToNarrow(UINT cp, const wchar_t* src, int cch, uint8_t bSalt,
                          bool* pbUsedDefault) {
    BOOL bUsed = FALSE;
    const int nNeeded = WideCharToMultiByte(cp, 0, src, cch, nullptr, 0, nullptr, &bUsed);
    if (nNeeded <= 0)
        Fail("to narrow: a wide text cannot be converted");
    auto full = std::make_unique<char[]>(static_cast<size_t>(nNeeded));
    BOOL bUsedFull = FALSE;
    if (WideCharToMultiByte(cp, 0, src, cch, full.get(), nNeeded, nullptr, &bUsedFull) != nNeeded)
        Fail("to narrow: the size needed is not the size written");
    if (bUsedFull != bUsed)
        Fail("to narrow: the query and the conversion disagree on default characters");
    std::string text(full.get(), static_cast<size_t>(nNeeded));
    if (cch == -1 && (text.back() != '\0' || text.find('\0') != text.size() - 1))
        Fail("to narrow: a terminated input gives an unterminated result");
    for (int cap : SizesAround(nNeeded, bSalt)) {
        auto buf = std::make_unique<char[]>(static_cast<size_t>(cap));
        SetLastError(0);
        const int n = WideCharToMultiByte(cp, 0, src, cch, buf.get(), cap, nullptr, nullptr);
        if (cap >= nNeeded) {
            if (n != nNeeded || std::memcmp(buf.get(), full.get(), static_cast<size_t>(n)) != 0)
                Fail("to narrow: a roomy buffer gives another result");
        } else if (n != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            Fail("to narrow: a small buffer is not reported as too small");
        }
    }
    // A double-byte default character.
    const int nAlt = WideCharToMultiByte(cp, 0, src, cch, nullptr, 0, "\xA1\xF6", nullptr);
    if (nAlt < nNeeded)
        Fail("to narrow: a two-byte default character shortens the result");
    *pbUsedDefault = bUsed != FALSE;
    return text;
}

void CheckCutPoint(UINT cp, const std::string& text, size_t cbMax) {
    const size_t cut = platform::AnsiCutPoint(text.data(), text.size(), cbMax);
    if (text.size() <= cbMax) {
        if (cut != text.size())
            Fail("cut point: a text that fits is cut");
        return;
    }
    if (cut > cbMax)
        Fail("cut point past the limit");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    if (cp == CP_UTF8) {
        // Cut short only before a character that would not fit whole.
        if (cut < cbMax) {
            const size_t cbChar = p[cut] >= 0xF0 ? 4 : p[cut] >= 0xE0 ? 3 : p[cut] >= 0xC0 ? 2 : 1;
            if (cut + 3 < cbMax || cut + cbChar <= cbMax)
                Fail("cut point: not at the last UTF-8 character boundary");
        }
        return;
    }
    size_t i = 0;
    while (i < cut)
        i += platform::IsAnsiLeadByte(p[i]) && i + 1 < text.size() ? 2 : 1;
    if (i != cut || cut + 1 < cbMax)
        Fail("cut point: not at the last double-byte character boundary");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    if (cb < 2)
        return 0;
    const uint8_t bMode = pData[0];
    const uint8_t bSalt = pData[1];
    pData += 2;
    cb -= 2;
    const UINT cp = (bMode & 1) ? CP_UTF8 : 936;
    const DWORD flags = (bMode & 2) ? MB_ERR_INVALID_CHARS : 0;
    const bool bTerminated = (bMode & 4) != 0;
    const bool bWide32 = (bMode & 8) != 0;
    platform::SetAnsiCodePage(cp);

    // Narrow to wide, and back when the text was valid.
    std::string narrow(reinterpret_cast<const char*>(pData), cb);
    if (bTerminated)
        narrow.resize(std::strlen(narrow.c_str()));
    if (!narrow.empty() || bTerminated) {
        const int cbIn = bTerminated ? -1 : static_cast<int>(narrow.size());
        std::wstring wide =
            CheckToWide((bMode & 16) ? CP_ACP : cp, flags, narrow.c_str(), cbIn, bSalt);
        if (!wide.empty() && (flags & MB_ERR_INVALID_CHARS)) {
            bool bUsed = false;
            std::string back =
                CheckToNarrow(cp, wide.data(), static_cast<int>(wide.size()), bSalt, &bUsed);
            if (bTerminated)
                back.pop_back();
            if (back != narrow || bUsed)
                Fail("valid text does not survive the way there and back");
        }
        CheckCutPoint(cp, narrow, bSalt);
    }

    // Wide to narrow, and back when no character needed the default.
    std::wstring wide;
    const size_t cbUnit = bWide32 ? 4 : 2;
    for (size_t i = 0; i + cbUnit <= cb; i += cbUnit) {
        uint32_t u = pData[i] | (pData[i + 1] << 8);
        if (bWide32)
            u |= (static_cast<uint32_t>(pData[i + 2]) << 16) |
                 (static_cast<uint32_t>(pData[i + 3]) << 24);
        wide.push_back(static_cast<wchar_t>(u));
    }
    if (bTerminated)
        wide.resize(std::wcslen(wide.c_str()));
    if (!wide.empty() || bTerminated) {
        const int cchIn = bTerminated ? -1 : static_cast<int>(wide.size());
        bool bUsed = false;
        std::string text = CheckToNarrow(cp, wide.c_str(), cchIn, bSalt, &bUsed);
        if (!bUsed) {
            std::wstring back = CheckToWide(cp, MB_ERR_INVALID_CHARS, text.data(),
                                            static_cast<int>(text.size()), bSalt);
            if (back != std::wstring(wide.c_str(), wide.size() + (bTerminated ? 1 : 0)))
                Fail(
                    "wide text without default characters does not survive the way there and back");
        }
    }
    return 0;
}
