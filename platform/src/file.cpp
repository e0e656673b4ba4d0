// Ordinary files and directories: CreateFileW with the Windows dispositions
// and in-process sharing rules, the file object's transfers, file pointer
// and size, attributes, directory creation and removal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/ext/native_path.h"
#include "platform/win_error.h"
#include "platform/win_file.h"

namespace platform {
namespace {

// Windows checks sharing against every open of the same file. The kernel
// has no such rule, so the platform keeps the opens of this process keyed
// by device and inode.
struct OpenEntry {
    DWORD dwAccess;
    DWORD dwShare;
};
using FileId = std::pair<dev_t, ino_t>;

std::mutex g_shareLock;
std::map<FileId, std::vector<OpenEntry>> g_opens;

// True when a new open with (dwAccess, dwShare) may join the existing opens.
bool SharingAllowsLocked(const FileId& id, DWORD dwAccess, DWORD dwShare) {
    auto it = g_opens.find(id);
    if (it == g_opens.end())
        return true;
    for (const OpenEntry& e : it->second) {
        if ((dwAccess & GENERIC_READ) && !(e.dwShare & FILE_SHARE_READ))
            return false;
        if ((dwAccess & GENERIC_WRITE) && !(e.dwShare & FILE_SHARE_WRITE))
            return false;
        if ((e.dwAccess & GENERIC_READ) && !(dwShare & FILE_SHARE_READ))
            return false;
        if ((e.dwAccess & GENERIC_WRITE) && !(dwShare & FILE_SHARE_WRITE))
            return false;
    }
    return true;
}

void ForgetOpen(const FileId& id, DWORD dwAccess, DWORD dwShare) {
    std::lock_guard<std::mutex> lock(g_shareLock);
    auto it = g_opens.find(id);
    if (it == g_opens.end())
        return;
    std::vector<OpenEntry>& v = it->second;
    for (auto e = v.begin(); e != v.end(); ++e) {
        if (e->dwAccess == dwAccess && e->dwShare == dwShare) {
            v.erase(e);
            break;
        }
    }
    if (v.empty())
        g_opens.erase(it);
}

class FileObject : public KernelObject {
public:
    FileObject(int fd, FileId id, DWORD dwAccess, DWORD dwShare)
        : KernelObject(ObjectKind::File),
          m_fd(fd),
          m_id(id),
          m_dwAccess(dwAccess),
          m_dwShare(dwShare) {}
    ~FileObject() override {
        ForgetOpen(m_id, m_dwAccess, m_dwShare);
        ::close(m_fd);
    }

    int Fd() const { return m_fd; }

    BOOL Read(LPVOID lpBuffer, DWORD nBytes, LPDWORD lpRead, LPOVERLAPPED lpOv) override {
        if (lpRead != nullptr)
            *lpRead = 0;
        if (!(m_dwAccess & GENERIC_READ)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        ssize_t n;
        do {
            n = lpOv != nullptr ? ::pread(m_fd, lpBuffer, nBytes, OffsetOf(lpOv))
                                : ::read(m_fd, lpBuffer, nBytes);
        } while (n < 0 && errno == EINTR);
        return Finish(n, nBytes, lpRead, lpOv, true);
    }

    BOOL Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv) override {
        if (lpWritten != nullptr)
            *lpWritten = 0;
        if (!(m_dwAccess & GENERIC_WRITE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // One write(2) per call, so that lines written by several threads or
        // processes never interleave inside a line. A regular file takes the
        // whole buffer at once; only a full disk or a signal splits it.
        const char* p = static_cast<const char*>(lpBuffer);
        size_t done = 0;
        while (done < nBytes) {
            ssize_t n = lpOv != nullptr
                            ? ::pwrite(m_fd, p + done, nBytes - done, OffsetOf(lpOv) + done)
                            : ::write(m_fd, p + done, nBytes - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (done > 0)
                    break;  // report what reached the file
                return Finish(n < 0 ? -1 : 0, nBytes, lpWritten, lpOv, false);
            }
            done += static_cast<size_t>(n);
        }
        return Finish(static_cast<ssize_t>(done), nBytes, lpWritten, lpOv, false);
    }

    BOOL Flush() override {
        if (::fsync(m_fd) != 0) {
            SetLastErrorFromErrno(errno);
            return FALSE;
        }
        return TRUE;
    }

private:
    static off_t OffsetOf(LPOVERLAPPED lpOv) {
        return static_cast<off_t>((static_cast<uint64_t>(lpOv->OffsetHigh) << 32) | lpOv->Offset);
    }

    // Stores the outcome of a transfer; overlapped records complete at once.
    static BOOL Finish(ssize_t n, DWORD nBytes, LPDWORD lpCount, LPOVERLAPPED lpOv, bool bRead) {
        DWORD dwError = ERROR_SUCCESS;
        if (n < 0) {
            dwError = ErrorFromErrno(errno);
        } else if (!bRead && n == 0 && nBytes > 0) {
            dwError = ERROR_DISK_FULL;
        } else if (bRead && n == 0 && nBytes > 0 && lpOv != nullptr) {
            dwError = ERROR_HANDLE_EOF;  // overlapped reads report end of file
        }
        DWORD dwCount = n > 0 ? static_cast<DWORD>(n) : 0;
        if (lpOv != nullptr) {
            BeginOverlapped(lpOv);
            CompleteOverlapped(lpOv, dwError, dwCount);
        }
        if (dwError != ERROR_SUCCESS) {
            SetLastError(dwError);
            return FALSE;
        }
        if (lpCount != nullptr)
            *lpCount = dwCount;
        return TRUE;
    }

    const int m_fd;
    const FileId m_id;
    const DWORD m_dwAccess;
    const DWORD m_dwShare;
};

std::shared_ptr<FileObject> LookupFile(HANDLE h) {
    std::shared_ptr<FileObject> file = LookupAs<FileObject>(h, ObjectKind::File);
    if (!file)
        SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

// Windows tells a missing directory on the way (ERROR_PATH_NOT_FOUND) from a
// missing final component (ERROR_FILE_NOT_FOUND); ENOENT covers both.
DWORD MissingError(const char* lpszPath) {
    const char* slash = std::strrchr(lpszPath, '/');
    if (slash == nullptr || slash == lpszPath)
        return ERROR_FILE_NOT_FOUND;
    std::string parent(lpszPath, static_cast<size_t>(slash - lpszPath));
    struct stat st;
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

DWORD OpenError(int err, const char* lpszPath) {
    if (err == ENOENT)
        return MissingError(lpszPath);
    if (err == EEXIST)
        return ERROR_FILE_EXISTS;
    return ErrorFromErrno(err);
}

bool IsSerialName(LPCWSTR lpFileName) {
    static const wchar_t kPrefix[] = L"\\\\.\\COM";
    for (size_t i = 0; kPrefix[i] != L'\0'; ++i) {
        wchar_t c = lpFileName[i];
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != kPrefix[i])
            return false;
    }
    return true;
}

// Whether the file at path (if any) may be removed or replaced: not a
// directory, and every opener granted FILE_SHARE_DELETE. False with the
// last error set.
bool MayRemove(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return true;
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_shareLock);
    auto it = g_opens.find(FileId{st.st_dev, st.st_ino});
    if (it != g_opens.end()) {
        for (const OpenEntry& e : it->second) {
            if (!(e.dwShare & FILE_SHARE_DELETE)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return false;
            }
        }
    }
    return true;
}

// Converts the wide path and stores ERROR_INVALID_PARAMETER /
// ERROR_PATH_NOT_FOUND / ERROR_FILENAME_EXCED_RANGE on failure.
bool ToNative(LPCWSTR lpPath, std::string* pOut) {
    if (lpPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*lpPath == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    char szPath[4096];
    if (!NativePath(lpPath, szPath, sizeof szPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    pOut->assign(szPath);
    return true;
}

}  // namespace

bool NativePath(LPCWSTR lpPath, char* lpOut, size_t cbOut) {
    if (lpPath == nullptr || lpOut == nullptr || cbOut == 0)
        return false;
    std::string utf8 = WideToUtf8(lpPath);
    if (utf8.size() + 1 > cbOut)
        return false;
    for (char& c : utf8) {
        if (c == '\\')
            c = '/';
    }
    std::memcpy(lpOut, utf8.c_str(), utf8.size() + 1);
    return true;
}

}  // namespace platform

using platform::SetLastErrorFromErrno;

extern "C" HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (platform::FaultHit("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    if (lpFileName != nullptr && platform::IsSerialName(lpFileName)) {
        return platform::OpenSerialDevice(lpFileName, dwDesiredAccess, dwShareMode,
                                          dwCreationDisposition, dwFlagsAndAttributes);
    }
    std::string path;
    if (!platform::ToNative(lpFileName, &path))
        return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    int flags = O_CLOEXEC;
    bool bRead = (dwDesiredAccess & GENERIC_READ) != 0;
    bool bWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    flags |= bWrite ? (bRead ? O_RDWR : O_WRONLY) : O_RDONLY;
    // The mode a new file gets; the umask applies as usual.
    const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    // Truncation waits until the sharing check has passed, so a refused open
    // never destroys another opener's data.
    bool bExisted = false;
    int fd = -1;
    switch (dwCreationDisposition) {
        case CREATE_NEW:
            fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
                fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
                if (fd >= 0 || errno != EEXIST)
                    break;
                fd = ::open(path.c_str(), flags);
                if (fd >= 0)
                    bExisted = true;
                else if (errno != ENOENT)
                    break;  // removed in between: try again
            }
            break;
        default:  // OPEN_EXISTING, TRUNCATE_EXISTING
            fd = ::open(path.c_str(), flags);
            bExisted = fd >= 0;
            break;
    }
    if (fd < 0) {
        SetLastError(platform::OpenError(errno, path.c_str()));
        return INVALID_HANDLE_VALUE;
    }

    struct stat st;
    if (::fstat(fd, &st) != 0) {
        SetLastErrorFromErrno(errno);
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    platform::FileId id{st.st_dev, st.st_ino};
    DWORD dwAccess = dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE);
    {
        std::lock_guard<std::mutex> lock(platform::g_shareLock);
        if (!platform::SharingAllowsLocked(id, dwAccess, dwShareMode)) {
            ::close(fd);
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        platform::g_opens[id].push_back(platform::OpenEntry{dwAccess, dwShareMode});
    }
    auto file = std::make_shared<platform::FileObject>(fd, id, dwAccess, dwShareMode);
    if (bExisted &&
        (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
        if (::ftruncate(fd, 0) != 0) {
            SetLastErrorFromErrno(errno);
            return INVALID_HANDLE_VALUE;  // the object's destructor closes fd
        }
    }
    HANDLE h = platform::InsertObject(std::move(file));
    if (h == nullptr)
        return INVALID_HANDLE_VALUE;
    // Windows reports an existing file that CREATE_ALWAYS / OPEN_ALWAYS
    // opened through the last error, on success.
    bool bReportExisting = bExisted && (dwCreationDisposition == CREATE_ALWAYS ||
                                        dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(bReportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

extern "C" DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                DWORD dwMoveMethod) {
    if (platform::FaultHit("SetFilePointer"))
        return INVALID_SET_FILE_POINTER;
    std::shared_ptr<platform::FileObject> file = platform::LookupFile(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh != nullptr) {
        distance = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
            static_cast<uint32_t>(lDistanceToMove));
    }
    int64_t base;
    if (dwMoveMethod == FILE_BEGIN) {
        base = 0;
    } else if (dwMoveMethod == FILE_CURRENT) {
        off_t cur = ::lseek(file->Fd(), 0, SEEK_CUR);
        if (cur < 0) {
            SetLastErrorFromErrno(errno);
            return INVALID_SET_FILE_POINTER;
        }
        base = cur;
    } else if (dwMoveMethod == FILE_END) {
        struct stat st;
        if (::fstat(file->Fd(), &st) != 0) {
            SetLastErrorFromErrno(errno);
            return INVALID_SET_FILE_POINTER;
        }
        base = st.st_size;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if ((distance > 0 && base > INT64_MAX - distance)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t target = base + distance;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the caller can only receive a 32-bit position.
    if (lpDistanceToMoveHigh == nullptr && target > 0xFFFFFFFELL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (::lseek(file->Fd(), static_cast<off_t>(target), SEEK_SET) < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    DWORD dwLow = static_cast<DWORD>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
    // A low part of all ones is also the failure value: the caller then looks
    // at the last error, which must say success.
    if (dwLow == INVALID_SET_FILE_POINTER)
        SetLastError(NO_ERROR);
    return dwLow;
}

extern "C" DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    if (platform::FaultHit("GetFileSize"))
        return 0xFFFFFFFFu;
    std::shared_ptr<platform::FileObject> file = platform::LookupFile(hFile);
    if (!file)
        return 0xFFFFFFFFu;
    struct stat st;
    if (::fstat(file->Fd(), &st) != 0) {
        SetLastErrorFromErrno(errno);
        return 0xFFFFFFFFu;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    DWORD dwLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    if (dwLow == 0xFFFFFFFFu)
        SetLastError(NO_ERROR);
    return dwLow;
}

extern "C" DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    if (platform::FaultHit("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    std::string path;
    if (!platform::ToNative(lpFileName, &path))
        return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        SetLastError(err == ENOENT ? platform::MissingError(path.c_str())
                                   : platform::ErrorFromErrno(err));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    (void)lpSecurityAttributes;
    if (platform::FaultHit("CreateDirectoryW"))
        return FALSE;
    std::string path;
    if (!platform::ToNative(lpPathName, &path))
        return FALSE;
    if (::mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        // mkdir's ENOENT always means a missing parent.
        SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                     : platform::ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL DeleteFileW(LPCWSTR lpFileName) {
    if (platform::FaultHit("DeleteFileW"))
        return FALSE;
    std::string path;
    if (!platform::ToNative(lpFileName, &path))
        return FALSE;
    if (!platform::MayRemove(path))
        return FALSE;
    if (::unlink(path.c_str()) != 0) {
        int err = errno;
        SetLastError(err == ENOENT ? platform::MissingError(path.c_str())
                                   : platform::ErrorFromErrno(err));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    if (platform::FaultHit("MoveFileExW"))
        return FALSE;
    if ((dwFlags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from, to;
    if (!platform::ToNative(lpExistingFileName, &from) || !platform::ToNative(lpNewFileName, &to))
        return FALSE;
    struct stat st;
    if (::stat(from.c_str(), &st) != 0) {
        const int err = errno;
        SetLastError(err == ENOENT ? platform::MissingError(from.c_str())
                                   : platform::ErrorFromErrno(err));
        return FALSE;
    }
    if (!platform::MayRemove(to))
        return FALSE;
    // Without the replace flag the kernel itself refuses an existing target,
    // so no file that appears meanwhile is lost.
    const unsigned int uRenameFlags =
        (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0 ? 0u : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), uRenameFlags) != 0) {
        const int err = errno;
        SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                     : err == EXDEV                  ? ERROR_NOT_SAME_DEVICE
                                                     : platform::ErrorFromErrno(err));
        return FALSE;
    }
    if ((dwFlags & MOVEFILE_WRITE_THROUGH) != 0) {
        // The rename is on disk once the target's directory is.
        const size_t slash = to.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : to.substr(0, slash);
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool bSynced = fd >= 0 && ::fsync(fd) == 0;
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        if (!bSynced) {
            SetLastErrorFromErrno(err);
            return FALSE;
        }
    }
    return TRUE;
}

extern "C" BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    if (platform::FaultHit("RemoveDirectoryW"))
        return FALSE;
    std::string path;
    if (!platform::ToNative(lpPathName, &path))
        return FALSE;
    if (::rmdir(path.c_str()) != 0) {
        int err = errno;
        struct stat st;
        if (err == ENOTDIR && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            SetLastError(ERROR_DIRECTORY);
        else if (err == ENOENT)
            SetLastError(platform::MissingError(path.c_str()));
        else if (err == EEXIST)
            SetLastError(ERROR_DIR_NOT_EMPTY);
        else
            SetLastErrorFromErrno(err);
        return FALSE;
    }
    return TRUE;
}
