#include "hresult_av.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

namespace kx::av {

HRESULT HresultFromAvError(int error) {
  if (error >= 0) return S_OK;
  if (error == AVERROR_ENCODER_NOT_FOUND) return MF_E_TOPO_CODEC_NOT_FOUND;
  for (const ErrnoResult& entry : kErrnoResults) {
    if (AVUNERROR(error) == entry.errnoValue) return entry.result;
  }
  return E_FAIL;
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
