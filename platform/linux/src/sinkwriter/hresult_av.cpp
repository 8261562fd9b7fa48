#include "hresult_av.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

namespace kx::av {

namespace {
constexpr uint32_t kErrorWriteFault = 29;
constexpr uint32_t kErrorFileTooLarge = 223;
}

HRESULT HresultFromAvError(int error) {
  if (error >= 0) return S_OK;
  if (error == AVERROR_ENCODER_NOT_FOUND) return MF_E_TOPO_CODEC_NOT_FOUND;
  switch (AVUNERROR(error)) {
    case ENOMEM: return E_OUTOFMEMORY;
    case EINVAL: return E_INVALIDARG;
    case ENOENT:
    case ENOTDIR: return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EISDIR: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case EROFS: return HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT);
    case ENOSPC: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case EMFILE:
    case ENFILE: return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    case ENAMETOOLONG: return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    case EIO: return HRESULT_FROM_WIN32(kErrorWriteFault);
    case EFBIG: return HRESULT_FROM_WIN32(kErrorFileTooLarge);
    default: return E_FAIL;
  }
}

bool Utf16ToUtf8(const WCHAR* text, std::string* out) {
  out->clear();
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      const uint32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return true;
}

}  // namespace kx::av
