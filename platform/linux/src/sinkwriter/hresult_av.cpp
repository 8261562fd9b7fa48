#include "hresult_av.h"

#include <cerrno>
#include <mutex>

#include "kxtext/utf.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
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

void QuietFfmpegOnce() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

bool Utf16ToUtf8(const WCHAR* text, std::string* out) {
  const size_t length = std::char_traits<WCHAR>::length(text);
  const text::Converted needed = text::Utf16ToUtf8(text, length, nullptr, 0, text::OnInvalid::kFail);
  if (needed.status != text::Status::kOk) return false;
  out->resize(needed.length);
  return text::Utf16ToUtf8(text, length, out->data(), out->size(), text::OnInvalid::kFail).status ==
         text::Status::kOk;
}

}  // namespace kx::av
