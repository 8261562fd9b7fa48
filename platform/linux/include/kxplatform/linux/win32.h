// The Win32 calls the library makes, for the Linux layer: event objects, text
// conversion, system message text, local memory and the thread error value
// (synchapi.h, stringapiset.h, winbase.h), with the Windows SDK's names,
// signatures and constants. The ANSI code page (CP_ACP) is UTF-8 here.
#pragma once

#include <cstdarg>

#include "wintypes.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// Events: manual-reset events stay signalled until ResetEvent; auto-reset
// events release one waiter and reset themselves. Closed with CloseHandle.
STDAPI_(HANDLE) CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                             LPCWSTR lpName);
STDAPI_(BOOL) SetEvent(HANDLE hEvent);
STDAPI_(BOOL) ResetEvent(HANDLE hEvent);
STDAPI_(DWORD) WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
STDAPI_(BOOL) CloseHandle(HANDLE hObject);

STDAPI_(DWORD) GetLastError();
STDAPI_(void) SetLastError(DWORD dwErrCode);

// Text conversion between a code page and UTF-16. The ANSI code page is
// UTF-8 (65001), and code page 65001 takes, as on Windows, no flag but
// WC_ERR_INVALID_CHARS / MB_ERR_INVALID_CHARS (others: ERROR_INVALID_FLAGS)
// and no default character (ERROR_INVALID_PARAMETER).
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

STDAPI_(UINT) GetACP(void);
STDAPI_(int) MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                 LPWSTR lpWideCharStr, int cchWideChar);
STDAPI_(int) WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                 LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                 LPBOOL lpUsedDefaultChar);

// System message text.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is really an LPWSTR* that
// receives a LocalAlloc'ed text the caller frees with LocalFree. Returns the
// characters stored without the terminator, 0 on failure (GetLastError).
STDAPI_(DWORD) FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                              DWORD nSize, va_list* Arguments);

// Local memory.
#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)

STDAPI_(HLOCAL) LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Returns null on success, the handle itself on failure (as on Windows).
STDAPI_(HLOCAL) LocalFree(HLOCAL hMem);
