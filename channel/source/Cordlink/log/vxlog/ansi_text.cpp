// Wide to ANSI conversion into a fixed buffer, cut to fit.
#include "ansi_text.h"

#include <cwchar>

#include "platform/windows.h"

namespace vxlog {

namespace {
// The most bytes one wide character can take in any code page the layer
// offers (UTF-8); a chunk of room / kMaxBytesPerChar characters always fits.
constexpr size_t kMaxBytesPerChar = 4;
}  // namespace

size_t WideToAnsiCut(LPCWSTR lpszWide, char* lpszOut, size_t cbOut) {
    if (lpszOut == nullptr || cbOut == 0)
        return 0;
    lpszOut[0] = '\0';
    if (lpszWide == nullptr)
        return 0;

    // Almost every text fits: convert it whole, terminator included.
    int nWhole = WideCharToMultiByte(CP_ACP, 0, lpszWide, -1, lpszOut, static_cast<int>(cbOut),
                                     nullptr, nullptr);
    if (nWhole > 0) {
        lpszOut[nWhole - 1] = '\0';
        return static_cast<size_t>(nWhole - 1);
    }

    // Too long (or not convertible as a whole): convert chunk by chunk, each
    // small enough to fit in the room left, so the cut falls between two
    // characters. The code pages in use are stateless and wchar_t holds whole
    // code points, so chunks convert independently.
    const size_t cbCap = cbOut - 1;
    size_t cbUsed = 0;
    LPCWSTR p = lpszWide;
    while (*p != L'\0' && cbUsed < cbCap) {
        size_t cbRoom = cbCap - cbUsed;
        size_t cchChunk = wcsnlen(p, cbRoom / kMaxBytesPerChar > 0 ? cbRoom / kMaxBytesPerChar : 1);
        for (;;) {
            int n = WideCharToMultiByte(CP_ACP, 0, p, static_cast<int>(cchChunk), lpszOut + cbUsed,
                                        static_cast<int>(cbRoom), nullptr, nullptr);
            if (n > 0) {
                cbUsed += static_cast<size_t>(n);
                p += cchChunk;
                break;
            }
            if (cchChunk > 1) {
                cchChunk /= 2;
                continue;
            }
            if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
                lpszOut[cbUsed] = '\0';
                return cbUsed;
            }
            // A character the converter refuses outright: show it as the
            // default character rather than losing the rest of the text.
            lpszOut[cbUsed++] = '?';
            ++p;
            break;
        }
    }
    lpszOut[cbUsed] = '\0';
    return cbUsed;
}

}  // namespace vxlog
