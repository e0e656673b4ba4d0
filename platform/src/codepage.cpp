// Conversions between wide text and narrow text in the ANSI code page or
// UTF-8, with the Windows contract of WideCharToMultiByte and
// MultiByteToWideChar. UTF-8 is converted here directly; other code pages go
// through iconv, with one descriptor per thread and direction kept open so
// that conversions after the first do not allocate.
#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "codepage_internal.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/ext/ansi_code_page.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"

namespace platform {
namespace {

constexpr UINT kDefaultAnsiCodePage = 936;
constexpr wchar_t kUtf8Replacement = 0xFFFD;
// Bytes without a mapping in a multi-byte code page decode to its default
// character, as on Windows.
constexpr wchar_t kAnsiReplacement = L'?';
const iconv_t kNoCd = reinterpret_cast<iconv_t>(-1);

std::atomic<UINT> g_uAnsiCodePage{kDefaultAnsiCodePage};

UINT Resolve(UINT uCodePage) {
    if (uCodePage == CP_ACP || uCodePage == CP_OEMCP)
        return AnsiCodePage();
    return uCodePage;
}

iconv_t OpenCd(UINT uCodePage, bool bToWide) {
    char szName[16];
    std::snprintf(szName, sizeof szName, "CP%u", uCodePage);
    iconv_t cd = bToWide ? iconv_open("WCHAR_T", szName) : iconv_open(szName, "WCHAR_T");
    if (cd == kNoCd && uCodePage == 936)
        cd = bToWide ? iconv_open("WCHAR_T", "GBK") : iconv_open("GBK", "WCHAR_T");
    return cd;
}

// The thread's open descriptors. A handful of slots covers every program
// here (one ANSI code page, perhaps one more), replaced round-robin.
class CdCache {
public:
    CdCache() = default;
    CdCache(const CdCache&) = delete;
    CdCache& operator=(const CdCache&) = delete;
    ~CdCache() {
        for (Slot& s : m_slots) {
            if (s.cd != kNoCd)
                iconv_close(s.cd);
        }
    }

    // Returns a descriptor in its initial state, or kNoCd.
    iconv_t Get(UINT uCodePage, bool bToWide) {
        for (Slot& s : m_slots) {
            if (s.cd != kNoCd && s.uCodePage == uCodePage && s.bToWide == bToWide) {
                iconv(s.cd, nullptr, nullptr, nullptr, nullptr);
                return s.cd;
            }
        }
        iconv_t cd = OpenCd(uCodePage, bToWide);
        if (cd == kNoCd)
            return kNoCd;
        Slot& s = m_slots[m_next];
        m_next = (m_next + 1) % kSlots;
        if (s.cd != kNoCd)
            iconv_close(s.cd);
        s = Slot{uCodePage, bToWide, cd};
        return cd;
    }

private:
    struct Slot {
        UINT uCodePage = 0;
        bool bToWide = false;
        iconv_t cd = kNoCd;
    };
    static constexpr int kSlots = 4;
    Slot m_slots[kSlots];
    int m_next = 0;
};

thread_local CdCache t_cds;

// Output of a conversion: into a caller's buffer of a given capacity, or
// only counted when the capacity is 0 (the "size needed" query), or handed
// to a sink.
template <class T>
struct Output {
    T* lpBuffer = nullptr;
    size_t cap = 0;
    bool bCountOnly = false;
    WideSink pfnSink = nullptr;
    void* pContext = nullptr;
    size_t len = 0;
    bool bOverflow = false;

    void Put(const T* p, size_t n) {
        if (n == 0 || bOverflow)
            return;
        if (pfnSink != nullptr) {
            if constexpr (sizeof(T) == sizeof(wchar_t))
                pfnSink(pContext, reinterpret_cast<const wchar_t*>(p), n);
        } else if (!bCountOnly) {
            if (n > cap - len) {
                bOverflow = true;
                return;
            }
            std::memcpy(lpBuffer + len, p, n * sizeof(T));
        }
        len += n;
    }
    void Put(T c) { Put(&c, 1); }
};

bool IsValidScalar(uint32_t c) {
    return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

void EncodeUtf8(const wchar_t* lpSrc, size_t n, Output<char>& out, bool* pbUsedDefault) {
    for (size_t i = 0; i < n && !out.bOverflow; ++i) {
        uint32_t c = static_cast<uint32_t>(lpSrc[i]);
        if (!IsValidScalar(c)) {
            c = kUtf8Replacement;
            *pbUsedDefault = true;
        }
        char b[4];
        size_t k;
        if (c < 0x80) {
            b[0] = static_cast<char>(c);
            k = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<char>(0xC0 | (c >> 6));
            b[1] = static_cast<char>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<char>(0xE0 | (c >> 12));
            b[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            b[2] = static_cast<char>(0x80 | (c & 0x3F));
            k = 3;
        } else {
            b[0] = static_cast<char>(0xF0 | (c >> 18));
            b[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            b[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            b[3] = static_cast<char>(0x80 | (c & 0x3F));
            k = 4;
        }
        out.Put(b, k);
    }
}

// Decodes one UTF-8 sequence at p (n bytes left). Returns its length and
// stores the scalar; on an invalid sequence returns the length of its
// maximal valid prefix (at least 1) and stores -1.
size_t DecodeUtf8One(const unsigned char* p, size_t n, int32_t* pc) {
    unsigned char b0 = p[0];
    *pc = -1;
    if (b0 < 0x80) {
        *pc = b0;
        return 1;
    }
    size_t need;
    uint32_t c;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        if (b0 == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 1;
    }
    size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= n)
            return i;
        unsigned char b = p[i];
        if (b < lo || b > hi)
            return i;
        lo = 0x80;
        hi = 0xBF;
        c = (c << 6) | (b & 0x3F);
    }
    *pc = static_cast<int32_t>(c);
    return i;
}

// FALSE with ERROR_NO_UNICODE_TRANSLATION when bStrict and the input holds
// an invalid sequence.
bool DecodeUtf8(const char* lpSrc, size_t n, bool bStrict, Output<wchar_t>& out) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(lpSrc);
    size_t i = 0;
    while (i < n && !out.bOverflow) {
        int32_t c;
        i += DecodeUtf8One(p + i, n - i, &c);
        if (c < 0) {
            if (bStrict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return false;
            }
            out.Put(kUtf8Replacement);
        } else {
            out.Put(static_cast<wchar_t>(c));
        }
    }
    return true;
}

// glibc's converters drop the Unicode tag characters without a word, so a
// text holding one would come back shorter and with no default character
// reported. They have no mapping in any code page here and are handed to
// the default character instead.
bool IsSkippedByIconv(wchar_t c) {
    const uint32_t u = static_cast<uint32_t>(c);
    return u >= 0xE0000 && u <= 0xE007F;
}

// Wide to a code page through iconv. Unmappable characters become the
// default character. FALSE when the code page has no converter.
bool EncodeIconv(UINT uCodePage, const wchar_t* lpSrc, size_t n, const char* lpDefault,
                 size_t cbDefault, Output<char>& out, bool* pbUsedDefault) {
    iconv_t cd = t_cds.Get(uCodePage, false);
    if (cd == kNoCd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const wchar_t* const lpEnd = lpSrc + n;
    const wchar_t* lpRun = lpSrc;
    char chunk[256];
    while (!out.bOverflow) {
        // The run up to the next character iconv would drop.
        const wchar_t* lpStop = lpRun;
        while (lpStop < lpEnd && !IsSkippedByIconv(*lpStop))
            ++lpStop;
        char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(lpRun));
        size_t inLeft = static_cast<size_t>(lpStop - lpRun) * sizeof(wchar_t);
        while (!out.bOverflow) {
            char* o = chunk;
            size_t oLeft = sizeof chunk;
            size_t r = inLeft > 0 ? iconv(cd, &in, &inLeft, &o, &oLeft)
                                  : iconv(cd, nullptr, nullptr, &o, &oLeft);
            int err = r == static_cast<size_t>(-1) ? errno : 0;
            out.Put(chunk, static_cast<size_t>(o - chunk));
            if (err == E2BIG)
                continue;
            if (err == EILSEQ || err == EINVAL) {
                out.Put(lpDefault, cbDefault);
                *pbUsedDefault = true;
                in += sizeof(wchar_t);
                inLeft -= sizeof(wchar_t);
                continue;
            }
            if (inLeft == 0 && o == chunk)
                break;  // the run taken, state flushed
        }
        if (lpStop == lpEnd)
            break;
        out.Put(lpDefault, cbDefault);
        *pbUsedDefault = true;
        lpRun = lpStop + 1;
    }
    return true;
}

// A code page through iconv to wide.
bool DecodeIconv(UINT uCodePage, const char* lpSrc, size_t n, bool bStrict, Output<wchar_t>& out) {
    iconv_t cd = t_cds.Get(uCodePage, true);
    if (cd == kNoCd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char* in = const_cast<char*>(lpSrc);
    size_t inLeft = n;
    wchar_t chunk[128];
    while (!out.bOverflow && inLeft > 0) {
        char* o = reinterpret_cast<char*>(chunk);
        size_t oLeft = sizeof chunk;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        int err = r == static_cast<size_t>(-1) ? errno : 0;
        out.Put(chunk, static_cast<size_t>(o - reinterpret_cast<char*>(chunk)) / sizeof(wchar_t));
        if (err == EILSEQ || err == EINVAL) {
            if (bStrict) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return false;
            }
            out.Put(kAnsiReplacement);
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return true;
}

bool Decode(UINT uCodePage, const char* lpSrc, size_t n, bool bStrict, Output<wchar_t>& out) {
    if (uCodePage == CP_UTF8)
        return DecodeUtf8(lpSrc, n, bStrict, out);
    return DecodeIconv(uCodePage, lpSrc, n, bStrict, out);
}

}  // namespace

UINT AnsiCodePage() {
    return g_uAnsiCodePage.load(std::memory_order_relaxed);
}

BOOL SetAnsiCodePage(UINT uCodePage) {
    if (uCodePage != CP_UTF8) {
        iconv_t to = OpenCd(uCodePage, true);
        iconv_t from = OpenCd(uCodePage, false);
        bool bOk = to != kNoCd && from != kNoCd && uCodePage != CP_ACP && uCodePage != CP_OEMCP;
        if (to != kNoCd)
            iconv_close(to);
        if (from != kNoCd)
            iconv_close(from);
        if (!bOk) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    g_uAnsiCodePage.store(uCodePage, std::memory_order_relaxed);
    return TRUE;
}

bool DecodeAnsi(const char* lpText, size_t cb, WideSink pfnSink, void* pContext) {
    Output<wchar_t> out;
    out.pfnSink = pfnSink;
    out.pContext = pContext;
    return Decode(AnsiCodePage(), lpText, cb, false, out);
}

bool IsAnsiLeadByte(unsigned char c) {
    switch (AnsiCodePage()) {
        case 932:
            return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
        case 936:
        case 949:
        case 950:
            return c >= 0x81 && c <= 0xFE;
        default:
            return false;
    }
}

size_t AnsiCutPoint(const char* lpText, size_t cb, size_t cbMax) {
    if (cb <= cbMax)
        return cb;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(lpText);
    if (AnsiCodePage() == CP_UTF8) {
        // Back up only to the start of a character that would not fit whole:
        // at most three continuation bytes, behind a lead byte whose
        // sequence runs past the limit. Stray continuation bytes are single
        // characters of their own and are cut at the limit.
        size_t lead = cbMax;
        while (lead > 0 && cbMax - lead < 3 && (p[lead] & 0xC0) == 0x80)
            --lead;
        const size_t cbChar = p[lead] >= 0xF0 ? 4 : p[lead] >= 0xE0 ? 3 : p[lead] >= 0xC0 ? 2 : 1;
        return lead < cbMax && (p[lead] & 0xC0) == 0xC0 && lead + cbChar > cbMax ? lead : cbMax;
    }
    size_t i = 0;
    while (i < cbMax) {
        size_t k = IsAnsiLeadByte(p[i]) && i + 1 < cb ? 2 : 1;
        if (i + k > cbMax)
            break;
        i += k;
    }
    return i;
}

std::string WideToUtf8(LPCWSTR lpsz) {
    std::string text;
    if (lpsz == nullptr)
        return text;
    const size_t n = std::wcslen(lpsz);
    bool bUsedDefault = false;
    Output<char> count;
    count.bCountOnly = true;
    EncodeUtf8(lpsz, n, count, &bUsedDefault);
    text.resize(count.len);
    Output<char> out;
    out.lpBuffer = text.data();
    out.cap = text.size();
    EncodeUtf8(lpsz, n, out, &bUsedDefault);
    return text;
}

std::wstring Utf8ToWide(const char* lpsz) {
    std::wstring text;
    if (lpsz == nullptr)
        return text;
    const size_t n = std::strlen(lpsz);
    Output<wchar_t> count;
    count.bCountOnly = true;
    DecodeUtf8(lpsz, n, false, count);
    text.resize(count.len);
    Output<wchar_t> out;
    out.lpBuffer = text.data();
    out.cap = text.size();
    DecodeUtf8(lpsz, n, false, out);
    return text;
}

}  // namespace platform

extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                   LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    (void)dwFlags;  // iconv makes no best-fit mappings, so WC_NO_BEST_FIT_CHARS always holds
    if (platform::FaultHit("WideCharToMultiByte"))
        return 0;
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (lpMultiByteStr == nullptr && cbMultiByte != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n =
        cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    UINT uCodePage = platform::Resolve(CodePage);
    platform::Output<char> out;
    out.lpBuffer = lpMultiByteStr;
    out.cap = static_cast<size_t>(cbMultiByte);
    out.bCountOnly = cbMultiByte == 0;
    bool bUsedDefault = false;
    if (uCodePage == CP_UTF8) {
        platform::EncodeUtf8(lpWideCharStr, n, out, &bUsedDefault);
    } else {
        const char* lpDefault = "?";
        size_t cbDefault = 1;
        if (lpDefaultChar != nullptr && *lpDefaultChar != '\0') {
            lpDefault = lpDefaultChar;
            cbDefault = platform::IsAnsiLeadByte(static_cast<unsigned char>(lpDefaultChar[0])) &&
                                lpDefaultChar[1] != '\0'
                            ? 2
                            : 1;
        }
        if (!platform::EncodeIconv(uCodePage, lpWideCharStr, n, lpDefault, cbDefault, out,
                                   &bUsedDefault))
            return 0;
    }
    if (lpUsedDefaultChar != nullptr)
        *lpUsedDefaultChar = bUsedDefault ? TRUE : FALSE;
    if (out.bOverflow) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (out.len > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<int>(out.len);
}

extern "C" int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (platform::FaultHit("MultiByteToWideChar"))
        return 0;
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (lpWideCharStr == nullptr && cchWideChar != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    platform::Output<wchar_t> out;
    out.lpBuffer = lpWideCharStr;
    out.cap = static_cast<size_t>(cchWideChar);
    out.bCountOnly = cchWideChar == 0;
    if (!platform::Decode(platform::Resolve(CodePage), lpMultiByteStr, n,
                          (dwFlags & MB_ERR_INVALID_CHARS) != 0, out))
        return 0;
    if (out.bOverflow) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (out.len > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return static_cast<int>(out.len);
}

extern "C" UINT GetACP() {
    return platform::AnsiCodePage();
}
