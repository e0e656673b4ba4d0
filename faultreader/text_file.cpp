#include "text_file.h"

#include <algorithm>
#include <atomic>

#include "platform/win_codepage.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_handle.h"
#include "platform/win_sync.h"

namespace faultreader {
namespace {

std::wstring WidePath(const std::string& strPath) {
    std::wstring wide(strPath.size() + 1, L'\0');
    const int cch = MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, wide.data(),
                                        static_cast<int>(wide.size()));
    wide.resize(cch > 0 ? static_cast<size_t>(cch - 1) : 0);
    return wide;
}

}  // namespace

std::string FromCrLf(const std::string& strBytes) {
    std::string out;
    out.reserve(strBytes.size());
    for (size_t i = 0; i < strBytes.size(); ++i) {
        if (strBytes[i] == '\r' && i + 1 < strBytes.size() && strBytes[i + 1] == '\n')
            continue;
        out += strBytes[i];
    }
    return out;
}

bool ReadTextFile(const std::string& strPath, std::string* pText) {
    const std::wstring wide = WidePath(strPath);
    if (wide.empty())
        return false;
    HANDLE hFile = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char buf[65536];
    bool bOk = true;
    for (;;) {
        DWORD cbRead = 0;
        if (!ReadFile(hFile, buf, sizeof buf, &cbRead, nullptr)) {
            bOk = false;
            break;
        }
        if (cbRead == 0)
            break;
        bytes.append(buf, cbRead);
    }
    CloseHandle(hFile);
    if (!bOk)
        return false;
    *pText = FromCrLf(bytes);
    return true;
}

bool WriteTextFile(const std::string& strPath, const std::string& strText) {
    const std::wstring wide = WidePath(strPath);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string bytes;
    bytes.reserve(strText.size() + strText.size() / 16);
    for (char c : strText) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    // The text goes to a new file beside the target, which replaces the
    // target only once it is complete and on disk: a reader, a crash or a
    // full disk never leaves the target cut short.
    std::wstring temp;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    static std::atomic<unsigned> s_nextTemp{0};
    for (int nAttempt = 0; nAttempt < 100 && hFile == INVALID_HANDLE_VALUE; ++nAttempt) {
        temp = wide + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(s_nextTemp.fetch_add(1)) + L".tmp";
        // Shared for deletion, so that it can go again whatever happens.
        hFile = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    bool bOk = true;
    size_t done = 0;
    while (bOk && done < bytes.size()) {
        DWORD cbWritten = 0;
        const DWORD cbChunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!WriteFile(hFile, bytes.data() + done, cbChunk, &cbWritten, nullptr))
            bOk = false;
        else if (cbWritten == 0) {
            SetLastError(ERROR_DISK_FULL);
            bOk = false;
        }
        done += cbWritten;
    }
    bOk = bOk && FlushFileBuffers(hFile);
    // A failed close may have lost data: it fails the write too.
    bOk = CloseHandle(hFile) && bOk;
    bOk = bOk && MoveFileExW(temp.c_str(), wide.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!bOk) {
        // The caller learns why the write failed, not how the clean-up went.
        const DWORD dwError = GetLastError();
        DeleteFileW(temp.c_str());
        SetLastError(dwError);
    }
    return bOk;
}

}  // namespace faultreader
