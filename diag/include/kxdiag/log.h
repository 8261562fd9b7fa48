// The library's log layer over ZQ_Log.
//
// LogAtLevel formats a narrow line (Windows printf conventions: %s narrow,
// %S wide, %08lx a 32-bit value), keeps it if its level is one of the three
// below, widens it in the ANSI code page and hands it to ZQ_Log's LogPrintW
// inside the level's template ("kx_Traxel error %s\n" ...). Lines longer than
// 4095 characters are cut. No heap memory is used.
//
// A failing Media Foundation or COM call is checked, logged and returned in
// one line:
//     RETURN_IF_FAILED(MFCreateMediaType(&type), "MFCreateMediaType(&videotype)");
// or, where the caller goes on after logging,
//     HRESULT hr = MfCheck(writer->Finalize(), "mfsinkwriter->Finalize()", kLogInfo);
#pragma once

#include "kxplatform/mf.h"

enum : int { kLogError = 100, kLogWarning = 200, kLogInfo = 300 };

void LogAtLevel(int level, const char* format, ...);

// The message text of an HRESULT, as the system gives it (trailing "\r\n"
// removed), or "IDispatch error #n" / "Unknown error 0x..." when the system
// has none. The text is computed once and freed (LocalFree) with the object.
class HresultText {
 public:
  explicit HresultText(HRESULT hr);
  ~HresultText();
  HresultText(const HresultText&) = delete;
  HresultText& operator=(const HresultText&) = delete;

  // Never null: "" if even the fallback text could not be allocated.
  const WCHAR* c_str() const;

 private:
  WCHAR* text_ = nullptr;
};

// When hr is negative, logs
//   "[Media Foundation ]: <callText> failed,  <HresultText> (0x%08lx)"
// at `level`; returns hr unchanged either way.
HRESULT MfCheck(HRESULT hr, const char* callText, int level = kLogError);

// The same for the direct ASF muxer:
//   "[Media Foundation MuxerWMV: 'MuxerWMV']: <callText> failed,  ..."
HRESULT MuxerCheck(HRESULT hr, const char* callText, int level = kLogError);

// Evaluates `expr` once; on failure logs it once (MfCheck, error level) and
// returns its HRESULT from the enclosing function.
#define RETURN_IF_FAILED(expr, callText)                   \
  do {                                                     \
    const HRESULT kx_hr_ = MfCheck((expr), (callText));    \
    if (FAILED(kx_hr_)) return kx_hr_;                     \
  } while (0)

// The same for the direct ASF muxer (MuxerCheck, error level).
#define RETURN_IF_MUXER_FAILED(expr, callText)              \
  do {                                                     \
    const HRESULT kx_hr_ = MuxerCheck((expr), (callText)); \
    if (FAILED(kx_hr_)) return kx_hr_;                     \
  } while (0)
