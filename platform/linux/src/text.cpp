// Text conversion between the code pages and UTF-16, and local memory, with
// the Win32 semantics: counts include the terminator when the input length
// is -1, a zero output size asks for the size needed, and a too small output
// fails with ERROR_INSUFFICIENT_BUFFER. The ANSI code page is UTF-8 here.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kxplatform/mf.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Decodes one code point from UTF-8 at `in` (`left` bytes). Returns the bytes
// consumed; `valid` is false for a malformed sequence, of which the longest
// well-formed prefix is consumed (the Unicode "maximal subpart").
size_t DecodeUtf8(const unsigned char* in, size_t left, char32_t* cp, bool* valid) {
  const unsigned char lead = in[0];
  *valid = false;
  if (lead < 0x80) {
    *cp = lead;
    *valid = true;
    return 1;
  }
  size_t need;
  char32_t value;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    *cp = kReplacement;
    return 1;
  }
  size_t used = 1;
  for (size_t i = 0; i < need; ++i) {
    if (used >= left) {
      *cp = kReplacement;
      return used;
    }
    const unsigned char c = in[used];
    const unsigned char lo = i == 0 ? low : 0x80;
    const unsigned char hi = i == 0 ? high : 0xBF;
    if (c < lo || c > hi) {
      *cp = kReplacement;
      return used;
    }
    value = (value << 6) | (c & 0x3F);
    ++used;
  }
  *cp = value;
  *valid = true;
  return used;
}

}  // namespace

extern "C" {

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
      cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;

  size_t needed = 0;
  for (int pass = 0; pass < 2; ++pass) {
    // Pass 0 counts; pass 1 writes once the output is known to be big enough.
    if (pass == 1) {
      if (cchWideChar == 0) break;
      if (needed > static_cast<size_t>(cchWideChar)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    size_t out = 0;
    for (size_t pos = 0; pos < length;) {
      char32_t cp;
      bool valid;
      pos += DecodeUtf8(in + pos, length - pos, &cp, &valid);
      if (!valid && strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      if (cp >= 0x10000) {
        if (pass == 1) {
          lpWideCharStr[out] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
          lpWideCharStr[out + 1] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        out += 2;
      } else {
        if (pass == 1) lpWideCharStr[out] = static_cast<WCHAR>(cp);
        out += 1;
      }
    }
    needed = out;
  }
  if (needed > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  return static_cast<int>(needed);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
      cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const size_t length = cchWideChar == -1 ? std::char_traits<WCHAR>::length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
  const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  bool usedDefault = false;

  size_t needed = 0;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      if (cbMultiByte == 0) break;
      if (needed > static_cast<size_t>(cbMultiByte)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    size_t out = 0;
    for (size_t pos = 0; pos < length; ++pos) {
      char32_t cp = lpWideCharStr[pos];
      if (cp >= 0xD800 && cp <= 0xDBFF && pos + 1 < length && lpWideCharStr[pos + 1] >= 0xDC00 &&
          lpWideCharStr[pos + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[pos + 1] - 0xDC00);
        ++pos;
      } else if (cp >= 0xD800 && cp <= 0xDFFF) {  // a lone surrogate
        if (strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
        cp = kReplacement;
        usedDefault = true;
      }
      unsigned char bytes[4];
      size_t count;
      if (cp < 0x80) {
        bytes[0] = static_cast<unsigned char>(cp);
        count = 1;
      } else if (cp < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        count = 2;
      } else if (cp < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        count = 3;
      } else {
        bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        count = 4;
      }
      if (pass == 1) std::memcpy(lpMultiByteStr + out, bytes, count);
      out += count;
    }
    needed = out;
  }
  if (needed > 0x7FFFFFFF) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  return static_cast<int>(needed);
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
