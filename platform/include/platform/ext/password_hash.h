// One-way password hashes, for stores that must check a password without
// holding it in clear.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace platform {

// Hashes the password with a fresh random salt (SHA-512 crypt, "$6$...")
// into lpszHash (cbHash bytes; 128 is enough). FALSE with
// ERROR_INSUFFICIENT_BUFFER when the hash does not fit, or the system's
// error when no salt could be drawn. Thread-safe.
PLATFORM_API BOOL HashPassword(LPCSTR lpszPassword, LPSTR lpszHash, size_t cbHash);

// TRUE when the password hashes to lpszHash (a hash made by HashPassword).
// The comparison takes the same time wherever the texts differ.
// Thread-safe.
PLATFORM_API BOOL VerifyPassword(LPCSTR lpszPassword, LPCSTR lpszHash);

}  // namespace platform
