/* kx_Traxel host interface: basic types shared by the plug-in and ZQ_Log.
 *
 * Valid C (C11) and C++. Every string that crosses the host boundary is made
 * of UTF-16 code units of 2 bytes: wchar_t on Windows, char16_t elsewhere. */
#ifndef KX_TRAXEL_KX_TYPES_H
#define KX_TRAXEL_KX_TYPES_H

#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t kx_wchar;
#define KX_W_(s) L##s
#else
#ifdef __cplusplus
typedef char16_t kx_wchar;
#else
#include <uchar.h>
typedef char16_t kx_wchar;
#endif
#define KX_W_(s) u##s
#endif
/* A UTF-16 string literal of the host interface: KX_W("text"). */
#define KX_W(s) KX_W_(s)

#ifdef __cplusplus
#define KX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define KX_ALIGNOF(T) alignof(T)
#else
#define KX_ALIGNOF(T) _Alignof(T)
#define KX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

KX_STATIC_ASSERT(sizeof(kx_wchar) == 2, "host strings are UTF-16 code units of 2 bytes");

#if defined(_WIN32)
#define KX_EXPORT __declspec(dllexport)
#define KX_IMPORT __declspec(dllimport)
#else
#define KX_EXPORT __attribute__((visibility("default")))
#define KX_IMPORT
#endif

#endif /* KX_TRAXEL_KX_TYPES_H */
