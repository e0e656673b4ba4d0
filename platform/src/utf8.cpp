// UTF-8 <-> wide (UTF-32) conversion for native paths and environment values.
#include "kernel_object.h"

namespace platform {

std::string WideToUtf8(LPCWSTR lpsz) {
    std::string out;
    if (lpsz == nullptr)
        return out;
    for (; *lpsz != L'\0'; ++lpsz) {
        uint32_t c = static_cast<uint32_t>(*lpsz);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const char* lpsz) {
    std::wstring out;
    if (lpsz == nullptr)
        return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(lpsz);
    while (*p != 0) {
        uint32_t c = *p;
        int extra = c < 0x80           ? 0
                    : (c >> 5) == 0x6  ? 1
                    : (c >> 4) == 0xE  ? 2
                    : (c >> 3) == 0x1E ? 3
                                       : -1;
        if (extra < 0) {
            out += L'\xFFFD';
            ++p;
            continue;
        }
        c &= extra == 0 ? 0x7F : (0x3F >> extra);
        ++p;
        bool bad = false;
        for (int i = 0; i < extra; ++i) {
            if ((*p & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            c = (c << 6) | (*p & 0x3F);
            ++p;
        }
        out += bad ? L'\xFFFD' : static_cast<wchar_t>(c);
    }
    return out;
}

}  // namespace platform
