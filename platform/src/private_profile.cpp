// The private-profile calls: reading INI files with the Windows rules and
// replacing them atomically on writes. A file is text in the ANSI code page
// or UTF-16 with a byte-order mark (profile_encoding.h) and keeps its
// encoding; names and values are converted between the caller's text and
// the file's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

#include "codepage_internal.h"
#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/ext/native_path.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_profile.h"
#include "profile_document.h"
#include "profile_encoding.h"

namespace platform {
namespace {

// Writers in this process take turns, so that two read-modify-write cycles
// on one file never lose an update.
std::mutex g_writeLock;
std::atomic<unsigned> g_tempCounter{0};

enum class ReadResult { Ok, Missing, Failed };

// The whole file. A missing file reads as empty; so does one that cannot be
// read, but a writer must then leave it alone rather than replace it.
ReadResult ReadWholeFile(const std::string& path, std::string* pText) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return ReadResult::Missing;
        SetLastErrorFromErrno(errno);
        return ReadResult::Failed;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetLastErrorFromErrno(errno);
            ::close(fd);
            pText->clear();
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        pText->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::Ok;
}

// A profile file as read: its encoding and the document's text.
struct ProfileText {
    ProfileEncoding encoding = ProfileEncoding::Ansi;
    std::string text;
};

// ReadWholeFile, decoded. A file that cannot be decoded reads as empty and
// counts as unreadable.
ReadResult ReadProfile(const std::string& path, ProfileText* pFile) {
    std::string bytes;
    ReadResult result = ReadWholeFile(path, &bytes);
    if (result == ReadResult::Ok && !DecodeProfileFile(bytes, &pFile->encoding, &pFile->text)) {
        pFile->text.clear();
        return ReadResult::Failed;
    }
    return result;
}

// A caller's name or value (narrow text in the ANSI code page, or wide text)
// in the encoding of the document's text.
bool ToDocument(ProfileEncoding encoding, const wchar_t* lpText, std::string* pOut) {
    return NarrowFromWide(ProfileCodePage(encoding), lpText, pOut);
}

bool ToDocument(ProfileEncoding encoding, const char* lpText, std::string* pOut) {
    if (encoding == ProfileEncoding::Ansi) {
        pOut->assign(lpText);
        return true;
    }
    std::wstring wide;
    return WideFromNarrow(CP_ACP, lpText, &wide) && ToDocument(encoding, wide.c_str(), pOut);
}

// The document's text back in the caller's kind of text.
bool FromDocument(ProfileEncoding encoding, std::string_view text, std::wstring* pOut) {
    return WideFromNarrow(ProfileCodePage(encoding), text, pOut);
}

bool FromDocument(ProfileEncoding encoding, std::string_view text, std::string* pOut) {
    if (encoding == ProfileEncoding::Ansi) {
        pOut->assign(text);
        return true;
    }
    std::wstring wide;
    return FromDocument(encoding, text, &wide) && NarrowFromWide(CP_ACP, wide, pOut);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file with text: a temporary file beside it is written and
// synced, then renamed over it, so a reader sees the old or the new file,
// never a half-written one, even after a crash.
bool ReplaceFile(std::string path, const std::string& text) {
    // Through a symbolic link, replace the file it names, not the link.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real != nullptr) {
            path = real;
            std::free(real);
        }
    }
    bool bExists = ::stat(path.c_str(), &st) == 0;
    if (bExists && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = path + ".tmp" + std::to_string(::getpid()) + "_" +
              std::to_string(g_tempCounter.fetch_add(1));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : ErrorFromErrno(errno));
        return false;
    }
    bool bOk = (!bExists || ::fchmod(fd, st.st_mode & 07777) == 0) && WriteAll(fd, text) &&
               ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && bOk) {
        bOk = false;
        err = errno;
    }
    if (bOk && ::rename(tmp.c_str(), path.c_str()) != 0) {
        bOk = false;
        err = errno;
    }
    if (!bOk) {
        ::unlink(tmp.c_str());
        SetLastErrorFromErrno(err);
        return false;
    }
    // Make the rename itself durable.
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

// Native path of a wide file name; false with the last error set.
bool PathFromWide(LPCWSTR lpFileName, std::string* pPath) {
    if (lpFileName == nullptr || *lpFileName == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char szPath[4096];
    if (!NativePath(lpFileName, szPath, sizeof szPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    pPath->assign(szPath);
    return true;
}

bool PathFromAnsi(LPCSTR lpFileName, std::string* pPath) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring wide;
    return WideFromNarrow(CP_ACP, lpFileName, &wide) && PathFromWide(wide.c_str(), pPath);
}

// What a read finds, in the document's text: a single value, or a list of
// names each followed by a terminator (the list's final terminator is added
// when copying). bFound is false when the caller's default applies.
struct Lookup {
    std::string text;
    bool bList = false;
    bool bFound = false;
    ProfileEncoding encoding = ProfileEncoding::Ansi;
};

template <class T>
Lookup LookupProfile(const std::string& path, const T* lpApp, const T* lpKey) {
    ProfileText file;
    ReadProfile(path, &file);
    Lookup r;
    r.encoding = file.encoding;
    std::string app, key;
    if ((lpApp != nullptr && !ToDocument(file.encoding, lpApp, &app)) ||
        (lpKey != nullptr && !ToDocument(file.encoding, lpKey, &key)))
        return r;
    ProfileDocument doc(file.text, file.encoding != ProfileEncoding::Ansi);
    if (lpApp == nullptr || lpKey == nullptr) {
        r.bList = true;
        r.bFound = true;
        for (const std::string& name : lpApp == nullptr ? doc.SectionNames() : doc.KeyNames(app)) {
            r.text += name;
            r.text += '\0';
        }
        return r;
    }
    r.bFound = doc.FindValue(app, key, &r.text);
    return r;
}

// The text a read returns in the caller's kind: what was found, else the
// default without its trailing blanks (as Windows drops them).
template <class T>
std::basic_string<T> ResultText(const Lookup& r, const T* lpDefault) {
    std::basic_string<T> out;
    if (r.bFound) {
        if (!FromDocument(r.encoding, r.text, &out))
            out.clear();
        return out;
    }
    if (lpDefault != nullptr)
        out = lpDefault;
    while (!out.empty() && (out.back() == T(' ') || out.back() == T('\t')))
        out.pop_back();
    return out;
}

// Copies a result with the Windows contract: a value is cut to nSize - 1
// characters; a list that does not fit is cut and ends in two terminators,
// and the result is then nSize - 2.
template <class T>
DWORD CopyResult(const T* p, size_t n, bool bList, T* lpOut, DWORD nSize, size_t cut) {
    if (lpOut == nullptr || nSize == 0)
        return 0;
    if (!bList) {
        std::memcpy(lpOut, p, cut * sizeof(T));
        lpOut[cut] = T(0);
        return static_cast<DWORD>(cut);
    }
    if (n + 1 <= nSize) {
        std::memcpy(lpOut, p, n * sizeof(T));
        lpOut[n] = T(0);
        return static_cast<DWORD>(n);
    }
    if (nSize < 2) {
        lpOut[0] = T(0);
        return 0;
    }
    std::memcpy(lpOut, p, (nSize - 2) * sizeof(T));
    lpOut[nSize - 2] = T(0);
    lpOut[nSize - 1] = T(0);
    return nSize - 2;
}

UINT ParseProfileInt(const std::string& value) {
    const char* p = value.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    bool bNegative = *p == '-';
    if (bNegative)
        ++p;
    uint32_t n = 0;  // wraps like the 32-bit Windows reader
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        for (p += 2;; ++p) {
            int d = *p >= '0' && *p <= '9'   ? *p - '0'
                    : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                    : *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                             : -1;
            if (d < 0)
                break;
            n = n * 16 + static_cast<uint32_t>(d);
        }
    } else {
        for (; *p >= '0' && *p <= '9'; ++p)
            n = n * 10 + static_cast<uint32_t>(*p - '0');
    }
    return bNegative ? 0u - n : n;
}

template <class T>
UINT GetIntCore(const std::string& path, const T* lpApp, const T* lpKey, INT nDefault) {
    if (lpApp == nullptr || lpKey == nullptr)
        return static_cast<UINT>(nDefault);
    Lookup r = LookupProfile(path, lpApp, lpKey);
    // An empty value reads as the default, as on Windows. Digits, signs and
    // blanks are ASCII in every encoding of the document.
    if (!r.bFound || r.text.empty())
        return static_cast<UINT>(nDefault);
    return ParseProfileInt(r.text);
}

bool HasLineBreak(const char* p) {
    return p != nullptr && std::strpbrk(p, "\r\n") != nullptr;
}

bool HasLineBreak(const wchar_t* p) {
    return p != nullptr && std::wcspbrk(p, L"\r\n") != nullptr;
}

template <class T>
BOOL WriteCore(const std::string& path, const T* lpApp, const T* lpKey, const T* lpString) {
    if (lpApp == nullptr) {
        // All null only asks to flush a cache; there is none.
        if (lpKey == nullptr && lpString == nullptr)
            return TRUE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A line break would smuggle new lines (even new sections) into the file.
    if (HasLineBreak(lpApp) || HasLineBreak(lpKey) || HasLineBreak(lpString)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_writeLock);
    ProfileText file;
    if (ReadProfile(path, &file) == ReadResult::Failed)
        return FALSE;
    // A new file is written in the ANSI code page, as on Windows.
    std::string app, key, value;
    if (!ToDocument(file.encoding, lpApp, &app) ||
        (lpKey != nullptr && !ToDocument(file.encoding, lpKey, &key)) ||
        (lpString != nullptr && !ToDocument(file.encoding, lpString, &value)))
        return FALSE;
    ProfileDocument doc(file.text, file.encoding != ProfileEncoding::Ansi);
    bool bChanged;
    if (lpKey == nullptr)
        bChanged = doc.DeleteSection(app);
    else if (lpString == nullptr)
        bChanged = doc.DeleteKey(app, key);
    else
        bChanged = doc.SetValue(app, key, value);
    // Unchanged (the same value again, or nothing to delete): no write, and
    // a missing file stays missing.
    if (!bChanged)
        return TRUE;
    std::string bytes;
    if (!EncodeProfileFile(file.encoding, doc.Text(), &bytes))
        return FALSE;
    return ReplaceFile(path, bytes) ? TRUE : FALSE;
}

}  // namespace
}  // namespace platform

extern "C" UINT GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                      LPCWSTR lpFileName) {
    std::string path;
    if (!platform::PathFromWide(lpFileName, &path))
        return static_cast<UINT>(nDefault);
    return platform::GetIntCore(path, lpAppName, lpKeyName, nDefault);
}

extern "C" UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                      LPCSTR lpFileName) {
    std::string path;
    if (!platform::PathFromAnsi(lpFileName, &path))
        return static_cast<UINT>(nDefault);
    return platform::GetIntCore(path, lpAppName, lpKeyName, nDefault);
}

extern "C" DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                          LPWSTR lpReturnedString, DWORD nSize,
                                          LPCWSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0)
        return 0;
    std::string path;
    if (!platform::PathFromWide(lpFileName, &path)) {
        lpReturnedString[0] = L'\0';
        return 0;
    }
    platform::Lookup r = platform::LookupProfile(path, lpAppName, lpKeyName);
    std::wstring wide = platform::ResultText(r, lpDefault);
    size_t cut = wide.size() < nSize ? wide.size() : nSize - 1;
    return platform::CopyResult(wide.data(), wide.size(), r.bList, lpReturnedString, nSize, cut);
}

extern "C" DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                          LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0)
        return 0;
    std::string path;
    if (!platform::PathFromAnsi(lpFileName, &path)) {
        lpReturnedString[0] = '\0';
        return 0;
    }
    platform::Lookup r = platform::LookupProfile(path, lpAppName, lpKeyName);
    std::string text = platform::ResultText(r, lpDefault);
    // A cut value never ends in half a double-byte character.
    size_t cut = platform::AnsiCutPoint(text.data(), text.size(), nSize - 1);
    return platform::CopyResult(text.data(), text.size(), r.bList, lpReturnedString, nSize, cut);
}

extern "C" BOOL WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                           LPCWSTR lpFileName) {
    if (platform::FaultHit("WritePrivateProfileStringW"))
        return FALSE;
    std::string path;
    if (!platform::PathFromWide(lpFileName, &path))
        return FALSE;
    return platform::WriteCore(path, lpAppName, lpKeyName, lpString);
}

extern "C" BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                           LPCSTR lpFileName) {
    if (platform::FaultHit("WritePrivateProfileStringA"))
        return FALSE;
    std::string path;
    if (!platform::PathFromAnsi(lpFileName, &path))
        return FALSE;
    return platform::WriteCore(path, lpAppName, lpKeyName, lpString);
}
