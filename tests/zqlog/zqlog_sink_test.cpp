// ZQ_Log through its sink: the exact UTF-16 text of each record.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <kx_traxel/zq_log.h>

#include "log_capture.h"

namespace {

using Strings = std::vector<std::string>;
class ZqLogSinkTest : public kx::test::LogCapture {};

TEST_F(ZqLogSinkTest, TextIsHandedOverExactly) {
  LogTextW(KX_W("kx_Traxel.dll: Return encodersEX..."));
  LogTextW(KX_W("ends in a line feed\n"));
  LogTextW(KX_W(""));
  EXPECT_EQ(Take(), (Strings{"kx_Traxel.dll: Return encodersEX...", "ends in a line feed\n", ""}));
}

TEST_F(ZqLogSinkTest, PrintFormatsWithWideConventions) {
  LogPrintW(KX_W("kx_%ls: %s %S %d %0.6f %c"), KX_W("WMVEX-MF"), KX_W("wide"), "narrow", -3, 25.0, 'x');
  EXPECT_EQ(Take(), Strings{"kx_WMVEX-MF: wide narrow -3 25.000000 x"});
}

TEST_F(ZqLogSinkTest, LongLineIsNotCut) {
  const std::basic_string<kx_wchar> longText(10000, KX_W('r'));
  LogPrintW(KX_W("%s|"), longText.c_str());
  EXPECT_EQ(Take(), Strings{std::string(10000, 'r') + "|"});
}

TEST_F(ZqLogSinkTest, NullTextsAreIgnored) {
  EXPECT_EQ(LogTextW(nullptr), 0);
  EXPECT_EQ(LogPrintW(nullptr), 0);
  EXPECT_TRUE(Take().empty());
}

// A sink may log itself (the lock is re-entrant for its own thread).
void EchoingSink(void* context, const kx_wchar* text) {
  auto* seen = static_cast<Strings*>(context);
  seen->push_back(kx::test::ToUtf8(text));
  if (seen->size() == 1) LogTextW(KX_W("echo"));
}

TEST(ZqLogSinkReentry, SinkThatLogsDoesNotDeadlock) {
  Strings seen;
  ZqLog_SetSink(&EchoingSink, &seen);
  LogTextW(KX_W("first"));
  ZqLog_SetSink(nullptr, nullptr);
  EXPECT_EQ(seen, (Strings{"first", "echo"}));
}

}  // namespace
