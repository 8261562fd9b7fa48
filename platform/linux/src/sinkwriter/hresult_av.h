// HRESULTs for FFmpeg results, and UTF-16 paths as UTF-8.
#pragma once

#include <string>

#include "kxplatform/mf.h"

namespace kx::av {

// The HRESULT a Windows caller would see for the same failure: system errors
// in their HRESULT_FROM_WIN32 form, a missing encoder as
// MF_E_TOPO_CODEC_NOT_FOUND, anything else E_FAIL.
HRESULT HresultFromAvError(int error);

// UTF-16 to UTF-8; false for a broken surrogate pair.
bool Utf16ToUtf8(const WCHAR* text, std::string* out);

}  // namespace kx::av
