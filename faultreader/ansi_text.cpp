#include "ansi_text.h"

#include "platform/win_codepage.h"

namespace faultreader {
namespace {

std::wstring ToWide(unsigned uCodePage, const std::string& str) {
    if (str.empty())
        return std::wstring();
    const int cb = static_cast<int>(str.size());
    int cch = MultiByteToWideChar(uCodePage, 0, str.data(), cb, nullptr, 0);
    if (cch <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(cch), L'\0');
    cch = MultiByteToWideChar(uCodePage, 0, str.data(), cb, wide.data(), cch);
    wide.resize(cch > 0 ? static_cast<size_t>(cch) : 0);
    return wide;
}

std::string FromWide(unsigned uCodePage, const std::wstring& wide) {
    if (wide.empty())
        return std::string();
    const int cch = static_cast<int>(wide.size());
    int cb = WideCharToMultiByte(uCodePage, 0, wide.data(), cch, nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return std::string();
    std::string out(static_cast<size_t>(cb), '\0');
    cb = WideCharToMultiByte(uCodePage, 0, wide.data(), cch, out.data(), cb, nullptr, nullptr);
    out.resize(cb > 0 ? static_cast<size_t>(cb) : 0);
    return out;
}

}  // namespace

std::string AnsiToUtf8(const std::string& strAnsi) {
    return FromWide(CP_UTF8, ToWide(CP_ACP, strAnsi));
}

std::string Utf8ToAnsi(const std::string& strUtf8) {
    return FromWide(CP_ACP, ToWide(CP_UTF8, strUtf8));
}

std::string AnsiPrefix(const std::string& strAnsi, size_t cbMax) {
    if (strAnsi.size() <= cbMax)
        return strAnsi;
    // Back off from the cut until the prefix decodes without a broken
    // character at its end (at most one character's worth of bytes).
    for (size_t cb = cbMax; cb > 0; --cb) {
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, strAnsi.data(), static_cast<int>(cb),
                                nullptr, 0) > 0)
            return strAnsi.substr(0, cb);
        if (cbMax - cb >= 4)
            break;
    }
    return strAnsi.substr(0, cbMax);
}

}  // namespace faultreader
