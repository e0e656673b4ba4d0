// Password hashes over libcrypt (crypt_r and crypt_gensalt_rn, which draws
// its salt from the kernel's random source).
#include "platform/ext/password_hash.h"

#include <crypt.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "error_from_errno.h"
#include "platform/win_error.h"

namespace platform {

BOOL HashPassword(LPCSTR lpszPassword, LPSTR lpszHash, size_t cbHash) {
    if (lpszPassword == nullptr || lpszHash == nullptr || cbHash == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char szSetting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$6$", 0, nullptr, 0, szSetting, sizeof szSetting) == nullptr) {
        ::platform::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    // struct crypt_data is large (tens of kilobytes): keep it off the stack.
    auto pData = std::make_unique<crypt_data>();
    std::memset(pData.get(), 0, sizeof *pData);
    const char* lpszResult = crypt_r(lpszPassword, szSetting, pData.get());
    if (lpszResult == nullptr || lpszResult[0] == '*') {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    const size_t cb = std::strlen(lpszResult);
    if (cb + 1 > cbHash) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpszHash, lpszResult, cb + 1);
    return TRUE;
}

BOOL VerifyPassword(LPCSTR lpszPassword, LPCSTR lpszHash) {
    if (lpszPassword == nullptr || lpszHash == nullptr || lpszHash[0] != '$')
        return FALSE;
    auto pData = std::make_unique<crypt_data>();
    std::memset(pData.get(), 0, sizeof *pData);
    const char* lpszResult = crypt_r(lpszPassword, lpszHash, pData.get());
    if (lpszResult == nullptr || lpszResult[0] == '*')
        return FALSE;
    const size_t cb = std::strlen(lpszHash);
    if (std::strlen(lpszResult) != cb)
        return FALSE;
    unsigned char diff = 0;
    for (size_t i = 0; i < cb; ++i)
        diff |= static_cast<unsigned char>(lpszResult[i] ^ lpszHash[i]);
    return diff == 0 ? TRUE : FALSE;
}

}  // namespace platform
