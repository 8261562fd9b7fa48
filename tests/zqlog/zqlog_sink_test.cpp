// ZQ_Log through its sink: the exact UTF-16 text of each record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <kx_traxel/zq_log.h>

#include "log_capture.h"

namespace {

using Strings = std::vector<std::string>;

TEST(ZqLogSink, TextIsHandedOverExactlyAndPrintFormatsWide) {
  kx::test::LogCapture log;
  LogTextW(KX_W("kx_Traxel.dll: Return encodersEX..."));
  LogTextW(KX_W("ends in a line feed\n"));
  LogTextW(KX_W(""));
  LogPrintW(KX_W("kx_%ls: %s %S %d %0.6f %c"), KX_W("WMVEX-MF"), KX_W("wide"), "narrow", -3, 25.0, 'x');
  const std::basic_string<kx_wchar> longText(10000, KX_W('r'));
  LogPrintW(KX_W("%s|"), longText.c_str());  // not cut
  EXPECT_EQ(LogTextW(nullptr), 0);
  EXPECT_EQ(LogPrintW(nullptr), 0);
  EXPECT_EQ(log.Take(), (Strings{"kx_Traxel.dll: Return encodersEX...", "ends in a line feed\n", "",
                                 "kx_WMVEX-MF: wide narrow -3 25.000000 x", std::string(10000, 'r') + "|"}));
}

// A sink may log itself (the lock is re-entrant for its own thread).
TEST(ZqLogSink, SinkThatLogsDoesNotDeadlock) {
  Strings seen;
  ZqLog_SetSink(
      [](void* context, const kx_wchar* text) {
        auto* records = static_cast<Strings*>(context);
        records->push_back(kx::test::ToUtf8(text));
        if (records->size() == 1) LogTextW(KX_W("echo"));
      },
      &seen);
  LogTextW(KX_W("first"));
  ZqLog_SetSink(nullptr, nullptr);
  EXPECT_EQ(seen, (Strings{"first", "echo"}));
}

}  // namespace
