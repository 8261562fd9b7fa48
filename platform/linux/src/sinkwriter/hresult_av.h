// HRESULTs for FFmpeg results, and UTF-16 paths as UTF-8.
#pragma once

#include <cerrno>
#include <new>
#include <string>

#include "kxplatform/mf.h"

namespace kx::av {

// The system errors FFmpeg reports (as AVERROR(errno)) and the HRESULT a
// Windows caller sees for each; any other error becomes E_FAIL.
struct ErrnoResult {
  int errnoValue;
  HRESULT result;
};

inline constexpr ErrnoResult kErrnoResults[] = {
    {ENOMEM, E_OUTOFMEMORY},
    {EINVAL, E_INVALIDARG},
    {ENOENT, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
    {ENOTDIR, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
    {EACCES, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    {EPERM, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    {EISDIR, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
    {EROFS, HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT)},
    {ENOSPC, HRESULT_FROM_WIN32(ERROR_DISK_FULL)},
    {EMFILE, HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES)},
    {ENFILE, HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES)},
    {ENAMETOOLONG, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
    {EIO, HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)},
    {EFBIG, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)},
    {EBUSY, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},  // another writer holds the file
};

// The HRESULT a Windows caller would see for the same failure: system errors
// in their HRESULT_FROM_WIN32 form, a missing encoder as
// MF_E_TOPO_CODEC_NOT_FOUND, anything else E_FAIL.
HRESULT HresultFromAvError(int error);

// Runs the body of a COM method or C export of the layer: nothing thrown
// inside may cross the boundary, as nothing crosses one of Media
// Foundation's. Memory running out gives E_OUTOFMEMORY; any other exception
// E_UNEXPECTED. The body leaves its object in a state that its destruction
// handles whatever it throws.
template <typename Body>
HRESULT ComBoundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Keeps FFmpeg's own messages to errors, once per process: the layer
// reports failures through its results.
void QuietFfmpegOnce();

// UTF-16 to UTF-8 (kxtext/utf.h); false for an unpaired surrogate, as
// WideCharToMultiByte with WC_ERR_INVALID_CHARS: a path that has no UTF-8
// spelling is refused, never written under another name.
bool Utf16ToUtf8(const WCHAR* text, std::string* out);

}  // namespace kx::av
