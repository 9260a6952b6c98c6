// Basic Win32 scalar and handle types, as the rest of krsoap spells them.
//
// Code written against the Windows API keeps its types here: DWORD is 32 bits,
// LONG is 32 bits (not the 64-bit `long` of this platform), WCHAR is a UTF-16
// code unit in char16_t. Only declarations live in this file; the services
// behind the handles are in the sibling folders of platform/.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__GNUC__)
#define KR_EXPORT __attribute__((visibility("default")))
#else
#define KR_EXPORT
#endif

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef char16_t WCHAR;
typedef char16_t OLECHAR;
typedef char CHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef int32_t HRESULT;

typedef void* HANDLE;
// A loaded module (the handle LoadLibrary returns); a module's own instance
// handle is the same thing.
typedef void* HMODULE;
typedef HMODULE HINSTANCE;

// Accepted by the object-creating calls for their signatures; security
// descriptors and handle inheritance have no meaning here and are ignored.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260
