// Shell path helpers. Both '/' and '\' separate components, so paths built
// the Windows way and native paths work alike.
#include <sys/stat.h>

#include <string>

#include "fault_hit.h"
#include "platform/ext/native_path.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_shell_path.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool HasDrive(LPCWSTR p) {
    return ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':';
}

// stat() of a wide path; false (with the last error) when it fails.
bool StatWide(LPCWSTR pszPath, struct stat* pSt) {
    if (pszPath == nullptr || *pszPath == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    char szPath[4096];
    if (!platform::NativePath(pszPath, szPath, sizeof szPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (::stat(szPath, pSt) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

}  // namespace

extern "C" LPWSTR PathFindFileNameW(LPCWSTR pszPath) {
    if (pszPath == nullptr)
        return nullptr;
    // A trailing separator does not start a component: "a\b\" names "b\".
    LPCWSTR last = pszPath;
    for (LPCWSTR p = pszPath; *p != L'\0'; ++p) {
        if ((IsSeparator(*p) || *p == L':') && p[1] != L'\0' && !IsSeparator(p[1]))
            last = p + 1;
    }
    return const_cast<LPWSTR>(last);
}

extern "C" LPWSTR PathFindExtensionW(LPCWSTR pszPath) {
    if (pszPath == nullptr)
        return nullptr;
    LPCWSTR dot = nullptr;
    LPCWSTR p = pszPath;
    for (; *p != L'\0'; ++p) {
        if (IsSeparator(*p))
            dot = nullptr;
        else if (*p == L'.')
            dot = p;
    }
    return const_cast<LPWSTR>(dot != nullptr ? dot : p);
}

extern "C" BOOL PathIsRelativeW(LPCWSTR pszPath) {
    if (pszPath == nullptr || *pszPath == L'\0')
        return TRUE;
    if (IsSeparator(pszPath[0]) || HasDrive(pszPath))
        return FALSE;
    return TRUE;
}

extern "C" BOOL PathRemoveFileSpecW(LPWSTR pszPath) {
    if (pszPath == nullptr || *pszPath == L'\0')
        return FALSE;
    // The root ("\", "/", "C:\" or "C:") is kept.
    size_t root = 0;
    if (HasDrive(pszPath))
        root = IsSeparator(pszPath[2]) ? 3 : 2;
    else if (IsSeparator(pszPath[0]))
        root = 1;
    size_t cut = root;
    for (size_t i = root; pszPath[i] != L'\0'; ++i) {
        if (IsSeparator(pszPath[i]))
            cut = i;
    }
    if (pszPath[cut] == L'\0')
        return FALSE;  // nothing beyond the root
    pszPath[cut] = L'\0';
    return TRUE;
}

extern "C" void PathRemoveExtensionW(LPWSTR pszPath) {
    if (pszPath == nullptr)
        return;
    *PathFindExtensionW(pszPath) = L'\0';
}

extern "C" BOOL PathFileExistsW(LPCWSTR pszPath) {
    if (platform::FaultHit("PathFileExistsW"))
        return FALSE;
    struct stat st;
    return StatWide(pszPath, &st) ? TRUE : FALSE;
}

extern "C" BOOL PathIsDirectoryW(LPCWSTR pszPath) {
    if (platform::FaultHit("PathIsDirectoryW"))
        return FALSE;
    struct stat st;
    if (!StatWide(pszPath, &st))
        return FALSE;
    if (!S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    return TRUE;
}
