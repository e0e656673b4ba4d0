// printf-style formatting with the Windows meanings and the _TRUNCATE
// contract. Wide formats are walked conversion by conversion: strings and
// characters are copied here (so "%s" takes a wide string and "%hs"/"%S" a
// narrow one in the ANSI code page), numbers are formatted by swprintf
// straight into the caller's buffer. Nothing is allocated on the heap.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "codepage_internal.h"
#include "fault_hit.h"
#include "platform/win_error.h"
#include "platform/win_format.h"

namespace platform {
namespace {

// The caller's buffer: at most cap characters, a terminator after them.
struct WideOut {
    wchar_t* buf;
    size_t cap;
    size_t len = 0;
    bool bCut = false;

    size_t Room() const { return cap - len; }
    void Put(const wchar_t* p, size_t n) {
        if (n > Room()) {
            n = Room();
            bCut = true;
        }
        std::wmemcpy(buf + len, p, n);
        len += n;
    }
    void Fill(wchar_t c, size_t n) {
        if (n > Room()) {
            n = Room();
            bCut = true;
        }
        std::wmemset(buf + len, c, n);
        len += n;
    }
};

enum Flag : unsigned { kMinus = 1, kPlus = 2, kSpace = 4, kHash = 8, kZero = 16 };

enum class Size { None, Char, Short, Long, LongLong, IntMax, SizeT, PtrDiff, LongDouble, Int32 };

struct Directive {
    unsigned flags = 0;
    int width = -1;
    int precision = -1;
    Size size = Size::None;
    bool bWideForced = false;    // 'l' or 'w' on a string or character
    bool bNarrowForced = false;  // 'h' on a string or character
    wchar_t conv = 0;
};

// Appends the decimal digits of v to p; returns the new end.
wchar_t* AppendNumber(wchar_t* p, int v) {
    wchar_t digits[12];
    int n = 0;
    unsigned u = static_cast<unsigned>(v);
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

// Builds the swprintf format of one numeric conversion (at most ~40 chars).
void BuildSubFormat(const Directive& s, const wchar_t* lpszLength, wchar_t* lpOut) {
    wchar_t* p = lpOut;
    *p++ = L'%';
    if (s.flags & kMinus)
        *p++ = L'-';
    if (s.flags & kPlus)
        *p++ = L'+';
    if (s.flags & kSpace)
        *p++ = L' ';
    if (s.flags & kHash)
        *p++ = L'#';
    if (s.flags & kZero)
        *p++ = L'0';
    if (s.width >= 0)
        p = AppendNumber(p, s.width);
    if (s.precision >= 0) {
        *p++ = L'.';
        p = AppendNumber(p, s.precision);
    }
    for (; *lpszLength != L'\0'; ++lpszLength)
        *p++ = *lpszLength;
    *p++ = s.conv;
    *p = L'\0';
}

// Formats one number straight into the caller's buffer. glibc's swprintf
// returns -1 on overflow after filling the space it had; the output is then
// cut at the buffer's end.
template <class T>
void PutNumber(WideOut& out, const Directive& s, const wchar_t* lpszLength, T value) {
    wchar_t sub[48];
    BuildSubFormat(s, lpszLength, sub);
    size_t room = out.Room();
    int r = std::swprintf(out.buf + out.len, room + 1, sub, value);
    if (r < 0 || static_cast<size_t>(r) > room) {
        out.len = out.cap;
        out.bCut = true;
    } else {
        out.len += static_cast<size_t>(r);
    }
}

void PutPadded(WideOut& out, const Directive& s, const wchar_t* p, size_t n) {
    size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    size_t pad = width > n ? width - n : 0;
    if (!(s.flags & kMinus))
        out.Fill(L' ', pad);
    out.Put(p, n);
    if (s.flags & kMinus)
        out.Fill(L' ', pad);
}

// Narrow text is decoded twice when padded on the left: once to count, once
// to emit. The precision limits the wide characters taken.
struct NarrowPass {
    WideOut* out;  // null: count only
    size_t limit;
    size_t count = 0;
};

void NarrowSink(void* pv, const wchar_t* p, size_t n) {
    NarrowPass* pass = static_cast<NarrowPass*>(pv);
    if (n > pass->limit - pass->count)
        n = pass->limit - pass->count;
    if (pass->out != nullptr)
        pass->out->Put(p, n);
    pass->count += n;
}

void PutNarrow(WideOut& out, const Directive& s, const char* lpsz, size_t cb) {
    size_t limit = s.precision >= 0 ? static_cast<size_t>(s.precision) : static_cast<size_t>(-1);
    size_t width = s.width > 0 ? static_cast<size_t>(s.width) : 0;
    size_t n = 0;
    if (width > 0) {
        NarrowPass count{nullptr, limit};
        DecodeAnsi(lpsz, cb, NarrowSink, &count);
        n = count.count;
    }
    size_t pad = width > n ? width - n : 0;
    if (!(s.flags & kMinus))
        out.Fill(L' ', pad);
    NarrowPass emit{&out, limit};
    DecodeAnsi(lpsz, cb, NarrowSink, &emit);
    if (s.flags & kMinus)
        out.Fill(L' ', pad);
}

int ParseInt(const wchar_t*& p) {
    long v = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (v < 100000000)
            v = v * 10 + (*p - L'0');
        ++p;
    }
    return static_cast<int>(v);
}

// Reads the length modifier; returns false for none.
void ParseLength(const wchar_t*& p, Directive& s) {
    switch (*p) {
        case L'h':
            ++p;
            s.bNarrowForced = true;
            s.size = Size::Short;
            if (*p == L'h') {
                ++p;
                s.size = Size::Char;
            }
            break;
        case L'l':
            ++p;
            s.bWideForced = true;
            s.size = Size::Long;
            if (*p == L'l') {
                ++p;
                s.size = Size::LongLong;
            }
            break;
        case L'w':
            ++p;
            s.bWideForced = true;
            break;
        case L'q':
            ++p;
            s.size = Size::LongLong;
            break;
        case L'L':
            ++p;
            s.size = Size::LongDouble;
            break;
        case L'j':
            ++p;
            s.size = Size::IntMax;
            break;
        case L'z':
            ++p;
            s.size = Size::SizeT;
            break;
        case L't':
            ++p;
            s.size = Size::PtrDiff;
            break;
        case L'I':
            if (p[1] == L'6' && p[2] == L'4') {
                p += 3;
                s.size = Size::LongLong;
            } else if (p[1] == L'3' && p[2] == L'2') {
                p += 3;
                s.size = Size::Int32;
            } else {
                ++p;
                s.size = Size::SizeT;
            }
            break;
        default:
            break;
    }
}

void FormatWide(WideOut& out, const wchar_t* fmt, va_list args) {
    const wchar_t* p = fmt;
    while (*p != L'\0') {
        const wchar_t* run = p;
        while (*p != L'\0' && *p != L'%')
            ++p;
        out.Put(run, static_cast<size_t>(p - run));
        if (*p == L'\0')
            break;
        const wchar_t* directiveStart = p++;
        if (*p == L'%') {
            out.Put(p++, 1);
            continue;
        }
        Directive s;
        for (;; ++p) {
            if (*p == L'-')
                s.flags |= kMinus;
            else if (*p == L'+')
                s.flags |= kPlus;
            else if (*p == L' ')
                s.flags |= kSpace;
            else if (*p == L'#')
                s.flags |= kHash;
            else if (*p == L'0')
                s.flags |= kZero;
            else
                break;
        }
        if (*p == L'*') {
            ++p;
            s.width = va_arg(args, int);
            if (s.width < 0) {
                s.flags |= kMinus;
                s.width = s.width == -2147483647 - 1 ? 2147483647 : -s.width;
            }
        } else if (*p >= L'0' && *p <= L'9') {
            s.width = ParseInt(p);
        }
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                ++p;
                s.precision = va_arg(args, int);
                if (s.precision < 0)
                    s.precision = -1;  // as if omitted
            } else {
                s.precision = ParseInt(p);
            }
        }
        ParseLength(p, s);
        s.conv = *p;
        if (s.conv == L'\0')
            break;
        ++p;
        switch (s.conv) {
            case L'd':
            case L'i':
            case L'u':
            case L'o':
            case L'x':
            case L'X': {
                bool bSigned = s.conv == L'd' || s.conv == L'i';
                switch (s.size) {
                    case Size::Long:
                        if (bSigned)
                            PutNumber(out, s, L"l", va_arg(args, long));
                        else
                            PutNumber(out, s, L"l", va_arg(args, unsigned long));
                        break;
                    case Size::LongLong:
                    case Size::IntMax:
                        if (bSigned)
                            PutNumber(out, s, L"ll", va_arg(args, long long));
                        else
                            PutNumber(out, s, L"ll", va_arg(args, unsigned long long));
                        break;
                    case Size::SizeT:
                    case Size::PtrDiff:
                        if (bSigned)
                            PutNumber(out, s, L"ll",
                                      static_cast<long long>(va_arg(args, ptrdiff_t)));
                        else
                            PutNumber(out, s, L"ll",
                                      static_cast<unsigned long long>(va_arg(args, size_t)));
                        break;
                    case Size::Char:
                        if (bSigned)
                            PutNumber(out, s, L"hh", va_arg(args, int));
                        else
                            PutNumber(out, s, L"hh", va_arg(args, unsigned));
                        break;
                    case Size::Short:
                        if (bSigned)
                            PutNumber(out, s, L"h", va_arg(args, int));
                        else
                            PutNumber(out, s, L"h", va_arg(args, unsigned));
                        break;
                    default:
                        if (bSigned)
                            PutNumber(out, s, L"", va_arg(args, int));
                        else
                            PutNumber(out, s, L"", va_arg(args, unsigned));
                        break;
                }
                break;
            }
            case L'f':
            case L'F':
            case L'e':
            case L'E':
            case L'g':
            case L'G':
            case L'a':
            case L'A':
                if (s.size == Size::LongDouble)
                    PutNumber(out, s, L"L", va_arg(args, long double));
                else
                    PutNumber(out, s, L"", va_arg(args, double));
                break;
            case L'p': {
                // Windows prints pointers as fixed-width upper-case hex.
                Directive hex;
                hex.flags = kZero;
                hex.width = static_cast<int>(2 * sizeof(void*));
                hex.conv = L'X';
                wchar_t text[24];
                WideOut tmp{text, 23};
                PutNumber(tmp, hex, L"ll",
                          static_cast<unsigned long long>(
                              reinterpret_cast<uintptr_t>(va_arg(args, void*))));
                PutPadded(out, s, text, tmp.len);
                break;
            }
            case L'c':
            case L'C': {
                bool bNarrow = s.conv == L'C' ? !s.bWideForced : s.bNarrowForced;
                int c = va_arg(args, int);
                wchar_t wc;
                if (!bNarrow) {
                    wc = static_cast<wchar_t>(c);
                } else {
                    char b = static_cast<char>(c);
                    wc = L'?';
                    WideOut tmp{&wc, 1};
                    NarrowPass one{&tmp, 1};
                    DecodeAnsi(&b, 1, NarrowSink, &one);
                }
                PutPadded(out, s, &wc, 1);
                break;
            }
            case L's':
            case L'S': {
                bool bNarrow = s.conv == L'S' ? !s.bWideForced : s.bNarrowForced;
                if (bNarrow) {
                    const char* lpsz = va_arg(args, const char*);
                    if (lpsz == nullptr)
                        lpsz = "(null)";
                    PutNarrow(out, s, lpsz, std::strlen(lpsz));
                } else {
                    const wchar_t* lpsz = va_arg(args, const wchar_t*);
                    if (lpsz == nullptr)
                        lpsz = L"(null)";
                    size_t n = s.precision >= 0 ? wcsnlen(lpsz, static_cast<size_t>(s.precision))
                                                : std::wcslen(lpsz);
                    PutPadded(out, s, lpsz, n);
                }
                break;
            }
            case L'n':
                // Writing through a caller's pointer from a format is the
                // classic format-string attack; Windows refuses it too.
                (void)va_arg(args, void*);
                break;
            default:
                // Unknown conversion: shown as written, no argument taken.
                out.Put(directiveStart, static_cast<size_t>(p - directiveStart));
                break;
        }
    }
}

// Copies a narrow format, turning the Windows length prefixes I64, I32 and I
// into their C spellings. FALSE when it does not fit (then used as is).
bool TranslateNarrow(const char* fmt, char* lpOut, size_t cbOut) {
    size_t o = 0;
    auto put = [&](char c) {
        if (o + 1 >= cbOut)
            return false;
        lpOut[o++] = c;
        return true;
    };
    const char* p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            if (!put(*p++))
                return false;
            continue;
        }
        if (!put(*p++))
            return false;
        if (*p == '%') {
            if (!put(*p++))
                return false;
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0123456789.*", *p) != nullptr) {
            if (!put(*p++))
                return false;
        }
        if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4') {
                if (!put('l') || !put('l'))
                    return false;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                p += 3;
            } else {
                if (!put('z'))
                    return false;
                ++p;
            }
        }
    }
    lpOut[o] = '\0';
    return true;
}

// The limit for count: _TRUNCATE (or a count as large as the buffer) cuts
// at the buffer; a smaller count cuts there.
size_t LimitOf(size_t sizeOfBuffer, size_t count) {
    return count == _TRUNCATE || count >= sizeOfBuffer ? sizeOfBuffer - 1 : count;
}

}  // namespace
}  // namespace platform

extern "C" int _vsnwprintf_s(wchar_t* lpBuffer, size_t sizeOfBuffer, size_t count,
                             const wchar_t* lpszFmt, va_list args) {
    if (lpBuffer == nullptr || sizeOfBuffer == 0)
        return -1;
    if (platform::FaultHit("_vsnwprintf_s") || lpszFmt == nullptr) {
        lpBuffer[0] = L'\0';
        return -1;
    }
    platform::WideOut out{lpBuffer, platform::LimitOf(sizeOfBuffer, count)};
    platform::FormatWide(out, lpszFmt, args);
    lpBuffer[out.len] = L'\0';
    if (!out.bCut)
        return static_cast<int>(out.len);
    // Without _TRUNCATE an output larger than the whole buffer is an error
    // and leaves an empty string, as the Windows runtime does.
    if (count != _TRUNCATE && count >= sizeOfBuffer)
        lpBuffer[0] = L'\0';
    return -1;
}

extern "C" int _snwprintf_s(wchar_t* lpBuffer, size_t sizeOfBuffer, size_t count,
                            const wchar_t* lpszFmt, ...) {
    va_list args;
    va_start(args, lpszFmt);
    int r = _vsnwprintf_s(lpBuffer, sizeOfBuffer, count, lpszFmt, args);
    va_end(args);
    return r;
}

extern "C" int _vsnprintf_s(char* lpBuffer, size_t sizeOfBuffer, size_t count, const char* lpszFmt,
                            va_list args) {
    if (lpBuffer == nullptr || sizeOfBuffer == 0)
        return -1;
    if (platform::FaultHit("_vsnprintf_s") || lpszFmt == nullptr) {
        lpBuffer[0] = '\0';
        return -1;
    }
    char szFmt[1024];
    const char* fmt = platform::TranslateNarrow(lpszFmt, szFmt, sizeof szFmt) ? szFmt : lpszFmt;
    size_t limit = platform::LimitOf(sizeOfBuffer, count);
    int n = std::vsnprintf(lpBuffer, limit + 1, fmt, args);
    if (n < 0) {
        lpBuffer[0] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) <= limit)
        return n;
    if (count != _TRUNCATE && count >= sizeOfBuffer)
        lpBuffer[0] = '\0';
    return -1;
}

extern "C" int _snprintf_s(char* lpBuffer, size_t sizeOfBuffer, size_t count, const char* lpszFmt,
                           ...) {
    va_list args;
    va_start(args, lpszFmt);
    int r = _vsnprintf_s(lpBuffer, sizeOfBuffer, count, lpszFmt, args);
    va_end(args);
    return r;
}
