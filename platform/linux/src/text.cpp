// Text conversion between the code pages and UTF-16, and local memory, with
// the Win32 semantics: counts include the terminator when the input length
// is -1, a zero output size asks for the size needed, and a too small output
// fails with ERROR_INSUFFICIENT_BUFFER. The ANSI code page is UTF-8 here
// (65001, which takes no best-fit flag and no default character, as on a
// Windows system set to UTF-8); the conversion itself, with its rule for
// invalid input, is kxtext/utf.h.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kxplatform/mf.h"
#include "kxtext/utf.h"

namespace {

bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// The codec's result as the Win32 calls report it.
int Finish(const kx::text::Converted& converted) {
  switch (converted.status) {
    case kx::text::Status::kInvalid: return Fail(ERROR_NO_UNICODE_TRANSLATION);
    case kx::text::Status::kTooSmall: return Fail(ERROR_INSUFFICIENT_BUFFER);
    case kx::text::Status::kOk: break;
  }
  if (converted.length > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  return static_cast<int>(converted.length);
}

kx::text::OnInvalid OnInvalidFor(DWORD flags, DWORD failFlag) {
  return (flags & failFlag) != 0 ? kx::text::OnInvalid::kFail : kx::text::OnInvalid::kReplace;
}

}  // namespace

extern "C" {

UINT GetACP() { return CP_UTF8; }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
      cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~DWORD{MB_ERR_INVALID_CHARS}) != 0) return Fail(ERROR_INVALID_FLAGS);
  const size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  return Finish(kx::text::Utf8ToUtf16(lpMultiByteStr, length, cchWideChar > 0 ? lpWideCharStr : nullptr,
                                      static_cast<size_t>(cchWideChar), OnInvalidFor(dwFlags, MB_ERR_INVALID_CHARS)));
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) || lpDefaultChar != nullptr ||
      lpUsedDefaultChar != nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((dwFlags & ~DWORD{WC_ERR_INVALID_CHARS}) != 0) return Fail(ERROR_INVALID_FLAGS);
  const size_t length = cchWideChar == -1 ? std::char_traits<WCHAR>::length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
  const kx::text::Converted converted =
      kx::text::Utf16ToUtf8(lpWideCharStr, length, cbMultiByte > 0 ? lpMultiByteStr : nullptr,
                            static_cast<size_t>(cbMultiByte), OnInvalidFor(dwFlags, WC_ERR_INVALID_CHARS));
  return Finish(converted);
}

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* memory = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(uBytes == 0 ? 1 : uBytes, 1)
                                               : std::malloc(uBytes == 0 ? 1 : uBytes);
  if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

}  // extern "C"
