// The level route, HRESULT texts and the two failure-line shapes, as the log
// receives them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kxdiag/log.h"
#include "log_capture.h"

namespace {

using kx::test::LogCapture;
using kx::test::ToUtf8;
using Strings = std::vector<std::string>;

std::string TextOf(HRESULT hr) { return ToUtf8(HresultText(hr).c_str()); }

// Each level has its template, other levels write nothing, and a line is
// cut after 4095 characters.
TEST(LogAtLevel, TemplatesLevelsAndTheLengthLimit) {
  LogCapture log;
  std::string line;
  for (int i = 0; i < 5000; ++i) line += static_cast<char>('a' + i % 26);
  LogAtLevel(kLogError, "e %d", 1);
  LogAtLevel(kLogWarning, "w %s", "two");
  LogAtLevel(kLogInfo, "i %S (0x%08lx)", KX_W("three"), static_cast<uint32_t>(5));
  for (int level : {0, 99, 101, 199, 201, 299, 301, -100, INT32_MAX}) LogAtLevel(level, "dropped %d", level);
  LogAtLevel(kLogInfo, "%s", line.substr(0, 4095).c_str());
  LogAtLevel(kLogError, "%s", line.c_str());
  EXPECT_EQ(log.Take(), (Strings{"kx_Traxel error e 1\n", "kx_Traxel warning w two\n",
                                 "kx_Traxel info i three (0x00000005)\n", "kx_Traxel info " + line.substr(0, 4095) + "\n",
                                 "kx_Traxel error " + line.substr(0, 4095) + "\n"}));
}

// The system's text ends the line without its line break; codes without one
// get the fallbacks (in both builds: Windows' texts under Wine).
TEST(HresultText, SystemTextWithoutLineBreakElseTheFallbacks) {
  for (HRESULT hr : {E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, E_UNEXPECTED,
                     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), HRESULT_FROM_WIN32(ERROR_DISK_FULL)}) {
    const std::string text = TextOf(hr);
    ASSERT_FALSE(text.empty()) << std::hex << hr;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  }
  // nativeOnly: Windows may have a text of its own
  const struct { uint32_t hr; const char* text; bool nativeOnly; } cases[] = {
      {0x8004FE05u, "IDispatch error #64517", false},  {0x8123ABCDu, "Unknown error 0x8123ABCD", false},
      {0x0000ABCDu, "Unknown error 0xABCD", false},    {0x80040205u, "IDispatch error #5", true},
      {0x80040200u, "Unknown error 0x80040200", true}, {0x8004FFFFu, "IDispatch error #65023", true},
      {0x80050205u, "Unknown error 0x80050205", true},
  };
  for (const auto& c : cases) {
#if defined(_WIN32)
    if (c.nativeOnly) continue;
#endif
    EXPECT_EQ(TextOf(static_cast<HRESULT>(c.hr)), c.text) << std::hex << c.hr;
  }
}

// (That a checked call is evaluated once shows in the sink writer's call
// transcripts.)
TEST(FailureLine, ShapesAndLevels) {
  LogCapture log;
  EXPECT_EQ(MfCheck(E_FAIL, "mfsinkwriter->BeginWriting()"), E_FAIL);
  EXPECT_EQ(MuxerCheck(MF_E_INVALIDMEDIATYPE, "pASFProfile->CreateStream(pMediaType, &pStreamConfig)"),
            MF_E_INVALIDMEDIATYPE);
  MfCheck(E_NOTIMPL, "mfsinkwriter->Finalize()", kLogInfo);
  EXPECT_EQ(MfCheck(S_FALSE, "call()"), S_FALSE);
  EXPECT_EQ(MuxerCheck(S_OK, "call()"), S_OK);
  EXPECT_EQ(log.Take(),
            (Strings{"kx_Traxel error [Media Foundation ]: mfsinkwriter->BeginWriting() failed,  " + TextOf(E_FAIL) +
                         " (0x80004005)\n",
                     "kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: pASFProfile->CreateStream(pMediaType, "
                     "&pStreamConfig) failed,  " + TextOf(MF_E_INVALIDMEDIATYPE) + " (0xc00d36b4)\n",
                     "kx_Traxel info [Media Foundation ]: mfsinkwriter->Finalize() failed,  " + TextOf(E_NOTIMPL) +
                         " (0x80004001)\n"}));
}

}  // namespace
