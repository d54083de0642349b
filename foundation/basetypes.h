// Fixed-width integer names and the few limits that every layer shares.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef unsigned char byte;
typedef char16_t wchar16; // one UTF-16 unit, on every platform

#define Q_ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))

// Paths are formed in buffers of the Windows path limit, on every platform.
#define MAX_PATH_BYTES 260
// 259 UTF-16 units of at most three UTF-8 bytes each, and the NUL: 778 bytes.
#define MAX_UNICODE_PATH 260
#define MAX_UNICODE_PATH_IN_UTF8 ((MAX_UNICODE_PATH - 1) * 3 + 1)

#define INFINITE_WAIT 0xFFFFFFFFu

// The platform tag names the build in manifest and package names: a 32-bit and a 64-bit
// Windows installation never take each other's files.
#if defined(_WIN64)
#define FERRO_PLATFORM_TAG "win64"
#define FERRO_DLL_EXT ".dll"
#define FERRO_EXPORT extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define FERRO_PLATFORM_TAG "win32"
#define FERRO_DLL_EXT ".dll"
#define FERRO_EXPORT extern "C" __declspec(dllexport)
#else
#define FERRO_PLATFORM_TAG "linux"
#define FERRO_DLL_EXT ".so"
#define FERRO_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The calling convention of C++ member functions, for calls through another module's
// table of virtual operations: thiscall on 32-bit Windows, the ordinary one elsewhere.
#if defined(_WIN32) && defined(__i386__)
#define FERRO_THISCALL __attribute__((thiscall))
#else
#define FERRO_THISCALL
#endif

#if defined(__GNUC__)
#define FERRO_PRINTF(fmtarg, firstvararg) __attribute__((format(printf, fmtarg, firstvararg)))
#else
#define FERRO_PRINTF(fmtarg, firstvararg)
#endif
