// The exact record ZQ_Log receives when a call fails on a Media Foundation
// path: the sink writer's (source "") or the muxer's ("MuxerWMV: 'MuxerWMV'").
// For tests that link the diagnostics library.
#pragma once

#include <cstdio>
#include <string>

#include "kxdiag/log.h"
#include "wide_text.h"

namespace kx::test {

inline std::string FailureLine(const std::string& call, HRESULT hr, const char* level = "error",
                               const std::string& source = "") {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  return std::string("kx_Traxel ") + level + " [Media Foundation " + source + "]: " + call + " failed,  " +
         ToUtf8(HresultText(hr).c_str()) + " (" + code + ")\n";
}

}  // namespace kx::test
