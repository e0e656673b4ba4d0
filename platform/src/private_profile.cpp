// The private-profile calls: reading INI files with the Windows rules and
// replacing them atomically on writes. The file's bytes are text in the
// ANSI code page; the wide calls convert names and values.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "codepage_internal.h"
#include "kernel_object.h"
#include "platform/fault_injection.h"
#include "platform/win_codepage.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_profile.h"
#include "profile_document.h"

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

std::wstring AnsiToWide(const char* p, size_t cb) {
    std::wstring out;
    if (cb == 0)
        return out;
    int n = MultiByteToWideChar(CP_ACP, 0, p, static_cast<int>(cb), nullptr, 0);
    if (n <= 0)
        return out;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, p, static_cast<int>(cb), out.data(), n);
    return out;
}

std::string WideToAnsi(LPCWSTR p) {
    std::string out;
    if (p == nullptr || *p == L'\0')
        return out;
    int n = WideCharToMultiByte(CP_ACP, 0, p, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return out;
    out.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_ACP, 0, p, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminator
    return out;
}

bool PathFromAnsi(LPCSTR lpFileName, std::string* pPath) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return PathFromWide(AnsiToWide(lpFileName, std::strlen(lpFileName)).c_str(), pPath);
}

// What a read returns: a single value, or a list of names each followed by
// a terminator (the list's final terminator is added when copying).
struct Lookup {
    std::string text;
    bool bList = false;
};

Lookup LookupProfile(const std::string& path, const char* lpApp, const char* lpKey,
                     const char* lpDefault) {
    std::string file;
    ReadWholeFile(path, &file);
    ProfileDocument doc(file);
    Lookup r;
    if (lpApp == nullptr || lpKey == nullptr) {
        r.bList = true;
        for (const std::string& name :
             lpApp == nullptr ? doc.SectionNames() : doc.KeyNames(lpApp)) {
            r.text += name;
            r.text += '\0';
        }
        return r;
    }
    if (!doc.FindValue(lpApp, lpKey, &r.text)) {
        r.text = lpDefault != nullptr ? lpDefault : "";
        // Windows drops trailing blanks of the default.
        while (!r.text.empty() && (r.text.back() == ' ' || r.text.back() == '\t'))
            r.text.pop_back();
    }
    return r;
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

UINT GetIntCore(const std::string& path, const char* lpApp, const char* lpKey, INT nDefault) {
    if (lpApp == nullptr || lpKey == nullptr)
        return static_cast<UINT>(nDefault);
    Lookup r = LookupProfile(path, lpApp, lpKey, "");
    // An empty value reads as the default, as on Windows.
    if (r.text.empty())
        return static_cast<UINT>(nDefault);
    return ParseProfileInt(r.text);
}

bool HasLineBreak(const char* p) {
    return p != nullptr && std::strpbrk(p, "\r\n") != nullptr;
}

BOOL WriteCore(const std::string& path, const char* lpApp, const char* lpKey,
               const char* lpString) {
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
    std::string file;
    if (ReadWholeFile(path, &file) == ReadResult::Failed)
        return FALSE;
    ProfileDocument doc(file);
    bool bChanged;
    if (lpKey == nullptr)
        bChanged = doc.DeleteSection(lpApp);
    else if (lpString == nullptr)
        bChanged = doc.DeleteKey(lpApp, lpKey);
    else
        bChanged = doc.SetValue(lpApp, lpKey, lpString);
    // Unchanged (the same value again, or nothing to delete): no write, and
    // a missing file stays missing.
    if (!bChanged)
        return TRUE;
    return ReplaceFile(path, doc.Text()) ? TRUE : FALSE;
}

}  // namespace
}  // namespace platform

using platform::WideToAnsi;

extern "C" UINT GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                      LPCWSTR lpFileName) {
    std::string path;
    if (!platform::PathFromWide(lpFileName, &path))
        return static_cast<UINT>(nDefault);
    if (lpAppName == nullptr || lpKeyName == nullptr)
        return static_cast<UINT>(nDefault);
    return platform::GetIntCore(path, WideToAnsi(lpAppName).c_str(), WideToAnsi(lpKeyName).c_str(),
                                nDefault);
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
    std::string app = WideToAnsi(lpAppName);
    std::string key = WideToAnsi(lpKeyName);
    std::string def = WideToAnsi(lpDefault);
    platform::Lookup r =
        platform::LookupProfile(path, lpAppName != nullptr ? app.c_str() : nullptr,
                                lpKeyName != nullptr ? key.c_str() : nullptr, def.c_str());
    std::wstring wide = platform::AnsiToWide(r.text.data(), r.text.size());
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
    platform::Lookup r = platform::LookupProfile(path, lpAppName, lpKeyName, lpDefault);
    // A cut value never ends in half a double-byte character.
    size_t cut = platform::AnsiCutPoint(r.text.data(), r.text.size(), nSize - 1);
    return platform::CopyResult(r.text.data(), r.text.size(), r.bList, lpReturnedString, nSize,
                                cut);
}

extern "C" BOOL WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                           LPCWSTR lpFileName) {
    if (platform::FaultHit("WritePrivateProfileStringW"))
        return FALSE;
    std::string path;
    if (!platform::PathFromWide(lpFileName, &path))
        return FALSE;
    std::string app = WideToAnsi(lpAppName);
    std::string key = WideToAnsi(lpKeyName);
    std::string value = WideToAnsi(lpString);
    return platform::WriteCore(path, lpAppName != nullptr ? app.c_str() : nullptr,
                               lpKeyName != nullptr ? key.c_str() : nullptr,
                               lpString != nullptr ? value.c_str() : nullptr);
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
