// The three profile-file operations, as callers use them.
//
// On Windows this header hands callers the system's own functions from
// kernel32. On Linux the same names, parameter orders and results are provided
// by this library (profile_posix.cpp), with the Windows semantics: callers'
// code is identical on both platforms.
//
//   GetPrivateProfileStringA  copies the value of [section] key, or the default
//       when the file, section or key is missing, into buffer: at most size - 1
//       characters, always terminated (when size > 0). Returns the number of
//       characters copied, without the terminator.
//   GetPrivateProfileIntA     the value read as an integer (decimal, or after a
//       lower-case 0x, 0o or 0b prefix; an optional sign; wrap-around modulo
//       2^32; a value without leading digits gives 0), or the default when the
//       entry is missing or empty.
//   WritePrivateProfileStringA  sets [section] key = value, creating the file,
//       section and key as needed. Returns 1 on success, 0 on failure; a failed
//       write leaves the file as it was.
//
// Null arguments mean what the Windows documentation gives them:
//   GetPrivateProfileStringA  a null default reads as ""; a null section
//       copies the file's section names, a null key the section's key names
//       (each name terminated, the list ending in one more terminator; a list
//       that does not fit is cut to size - 2 characters and two terminators,
//       and the count is then size - 2); a null buffer copies nothing.
//   GetPrivateProfileIntA     a null section or key converts the first name
//       of that list.
//   WritePrivateProfileStringA  a null value removes the key's line, a null
//       key the whole section (a removal from a missing file does nothing and
//       succeeds); a null section fails (0, ENOENT).
//   A null file name is no file: reads give the default, writes fail (0,
//       EFAULT).
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                  char* buffer, uint32_t size, const char* file);

unsigned GetPrivateProfileIntA(const char* section, const char* key, int default_value,
                               const char* file);

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* file);

#ifdef __cplusplus
}
#endif

#endif
