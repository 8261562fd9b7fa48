// The level route, HRESULT texts and the two failure-line shapes, as the log
// receives them.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxdiag/log.h"
#include "log_capture.h"

namespace {

using kx::test::LogCapture;
using kx::test::ToUtf8;
using Strings = std::vector<std::string>;

class LogAtLevelTest : public LogCapture {};

TEST_F(LogAtLevelTest, EachLevelHasItsTemplate) {
  LogAtLevel(kLogError, "e %d", 1);
  LogAtLevel(kLogWarning, "w %s", "two");
  LogAtLevel(kLogInfo, "i %S", KX_W("three"));
  EXPECT_EQ(Take(), (Strings{"kx_Traxel error e 1\n", "kx_Traxel warning w two\n", "kx_Traxel info i three\n"}));
}

TEST_F(LogAtLevelTest, OtherLevelsWriteNothing) {
  for (int level : {0, 1, 99, 101, 150, 299, 301, 400, -100, INT32_MAX}) {
    LogAtLevel(level, "dropped %d", level);
    EXPECT_TRUE(Take().empty()) << "level " << level;
  }
}

TEST_F(LogAtLevelTest, LineOf4095CharactersArrivesWhole) {
  const std::string line(4095, 'a');
  LogAtLevel(kLogInfo, "%s", line.c_str());
  EXPECT_EQ(Take(), Strings{"kx_Traxel info " + line + "\n"});
}

TEST_F(LogAtLevelTest, LongerLineIsCutAfter4095Characters) {
  std::string line;
  for (int i = 0; i < 5000; ++i) line += static_cast<char>('a' + i % 26);
  LogAtLevel(kLogError, "%s", line.c_str());
  EXPECT_EQ(Take(), Strings{"kx_Traxel error " + line.substr(0, 4095) + "\n"});
}

TEST_F(LogAtLevelTest, HexValueKeepsItsLeadingZeros) {
  LogAtLevel(kLogInfo, "(0x%08lx)", static_cast<uint32_t>(5));
  EXPECT_EQ(Take(), Strings{"kx_Traxel info (0x00000005)\n"});
}

#if !defined(_WIN32)
TEST_F(LogAtLevelTest, NonAsciiTextIsWidenedInTheAnsiCodePage) {
  LogAtLevel(kLogInfo, "%s|%S", "caf\u00e9", KX_W("\u65e5\u672c"));
  EXPECT_EQ(Take(), Strings{"kx_Traxel info caf\u00e9|\u65e5\u672c\n"});
}
#endif

// ---------------------------------------------------------------------------

std::string TextOf(HRESULT hr) { return ToUtf8(HresultText(hr).c_str()); }

TEST(HresultTextTest, SystemTextLosesItsLineBreak) {
  for (HRESULT hr : {E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, E_NOTIMPL, E_NOINTERFACE, E_UNEXPECTED,
                     E_ACCESSDENIED, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)}) {
    const std::string text = TextOf(hr);
    ASSERT_FALSE(text.empty()) << std::hex << hr;
    EXPECT_NE(text.back(), '\n') << text;
    EXPECT_NE(text.back(), '\r') << text;
  }
}

TEST(HresultTextTest, AskingAgainGivesTheSameText) {
  HresultText text(E_FAIL);
  const WCHAR* first = text.c_str();
  EXPECT_EQ(text.c_str(), first);
}

TEST(HresultTextTest, CodesWithoutSystemTextGetTheFallbacks) {
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x8004FE05u)), "IDispatch error #64517");
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x8123ABCDu)), "Unknown error 0x8123ABCD");
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x0000ABCDu)), "Unknown error 0xABCD");  // no leading zeros
}

#if !defined(_WIN32)
// The Linux layer's system texts, which are the Windows English texts.
TEST(HresultTextTest, LinuxSystemTexts) {
  struct Case {
    HRESULT hr;
    const char* text;
  };
  const Case cases[] = {
      {S_OK, "The operation completed successfully."},
      {E_FAIL, "Unspecified error"},
      {E_INVALIDARG, "The parameter is incorrect."},
      {E_OUTOFMEMORY, "Not enough storage is available to complete this operation."},
      {E_POINTER, "Invalid pointer"},
      {E_NOTIMPL, "Not implemented"},
      {E_NOINTERFACE, "No such interface supported"},
      {E_UNEXPECTED, "Catastrophic failure"},
      {E_ACCESSDENIED, "Access is denied."},
      {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified."},
      {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The system cannot find the path specified."},
      {HRESULT_FROM_WIN32(ERROR_DISK_FULL), "There is not enough space on the disk."},
      {HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL), "The disk is full."},
      {HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), "The filename or extension is too long."},
      {MF_E_INVALIDMEDIATYPE,
       "The data specified for the media type is invalid, inconsistent, or not supported by this object."},
      {MF_E_INVALIDSTREAMNUMBER, "The stream number provided was invalid."},
      {MF_E_INVALIDREQUEST, "The request is invalid in the current state."},
      {MF_E_NOT_INITIALIZED, "This object needs to be initialized before the requested operation can be carried out."},
      {MF_E_BUFFERTOOSMALL, "The buffer was too small to carry out the requested action."},
      {MF_E_INVALID_STATE_TRANSITION, "A media source cannot go from the stopped state to the paused state."},
      {MF_E_TOPO_CODEC_NOT_FOUND, "No suitable transform was found to encode or decode the content."},
      {MF_E_BAD_STARTUP_VERSION, "You are calling MFStartup with the wrong MF_VERSION. Mismatched bits?"},
      {MF_E_SHUTDOWN, "The request is invalid because Shutdown() has been called."},
      {MF_E_UNSUPPORTED_BYTESTREAM_TYPE, "The byte stream type of the given URL is unsupported."},
      {MF_E_ATTRIBUTENOTFOUND, "The requested attribute was not found."},
      {MF_E_NO_SAMPLE_TIMESTAMP, "The Media Sample does not have a timestamp."},
      {MF_E_NO_SAMPLE_DURATION, "The Media Sample does not have a duration."},
      {MF_E_INVALIDTYPE, "Invalid type."},
  };
  for (const Case& c : cases) EXPECT_EQ(TextOf(c.hr), c.text) << std::hex << static_cast<uint32_t>(c.hr);
}

TEST(HresultTextTest, LinuxInterfaceRangeFallbacks) {
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x80040205u)), "IDispatch error #5");
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x80040200u)), "Unknown error 0x80040200");
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x8004FFFFu)), "IDispatch error #65023");
  EXPECT_EQ(TextOf(static_cast<HRESULT>(0x80050205u)), "Unknown error 0x80050205");
}

TEST(FormatMessageTest, LinuxLayerFollowsTheWin32Contract) {
  // Into a caller's buffer: too small fails, large enough copies.
  WCHAR small[4];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, E_FAIL, 0, small, 4,
                           nullptr),
            0u);
  WCHAR large[64];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, E_FAIL, 0, large, 64,
                           nullptr),
            19u);
  EXPECT_EQ(ToUtf8(large), "Unspecified error\r\n");
  // Allocated: the out pointer is cleared when there is no text.
  WCHAR* text = reinterpret_cast<WCHAR*>(&large);
  EXPECT_EQ(FormatMessageW(0x1300, nullptr, 0x8123ABCDu, 0x400, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
  EXPECT_EQ(text, nullptr);
  // The plain Win32 code and its HRESULT form share a text.
  EXPECT_EQ(TextOf(static_cast<HRESULT>(ERROR_ACCESS_DENIED)), TextOf(E_ACCESSDENIED));
}
#endif

// ---------------------------------------------------------------------------

class FailureLineTest : public LogCapture {};

TEST_F(FailureLineTest, SinkWriterShape) {
  EXPECT_EQ(MfCheck(E_FAIL, "mfsinkwriter->BeginWriting()"), E_FAIL);
  const std::string expected = "kx_Traxel error [Media Foundation ]: mfsinkwriter->BeginWriting() failed,  " +
                               TextOf(E_FAIL) + " (0x80004005)\n";
  EXPECT_EQ(Take(), Strings{expected});
}

TEST_F(FailureLineTest, MuxerShape) {
  EXPECT_EQ(MuxerCheck(MF_E_INVALIDMEDIATYPE, "pASFProfile->CreateStream(pMediaType, &pStreamConfig)"),
            MF_E_INVALIDMEDIATYPE);
  const std::string expected =
      "kx_Traxel error [Media Foundation MuxerWMV: 'MuxerWMV']: pASFProfile->CreateStream(pMediaType, "
      "&pStreamConfig) failed,  " +
      TextOf(MF_E_INVALIDMEDIATYPE) + " (0xc00d36b4)\n";
  EXPECT_EQ(Take(), Strings{expected});
}

TEST_F(FailureLineTest, ToleratedFailureIsInfo) {
  MfCheck(E_NOTIMPL, "mfsinkwriter->Finalize()", kLogInfo);
  const Strings lines = Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("kx_Traxel info [Media Foundation ]: mfsinkwriter->Finalize() failed,  ", 0), 0u)
      << lines[0];
}

TEST_F(FailureLineTest, SuccessWritesNothing) {
  EXPECT_EQ(MfCheck(S_OK, "call()"), S_OK);
  EXPECT_EQ(MfCheck(S_FALSE, "call()"), S_FALSE);
  EXPECT_EQ(MuxerCheck(S_OK, "call()"), S_OK);
  EXPECT_TRUE(Take().empty());
}

HRESULT TwoSteps(int* calls, HRESULT first, bool* reachedSecond) {
  RETURN_IF_FAILED((++*calls, first), "step(1)");
  *reachedSecond = true;
  return S_OK;
}

TEST_F(FailureLineTest, ReturnIfFailedEvaluatesOnceAndLogsOnce) {
  int calls = 0;
  bool reachedSecond = false;
  EXPECT_EQ(TwoSteps(&calls, MF_E_SHUTDOWN, &reachedSecond), MF_E_SHUTDOWN);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(reachedSecond);
  EXPECT_EQ(Take().size(), 1u);

  calls = 0;
  EXPECT_EQ(TwoSteps(&calls, S_OK, &reachedSecond), S_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(reachedSecond);
  EXPECT_TRUE(Take().empty());
}

}  // namespace
