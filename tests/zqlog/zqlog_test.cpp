// ZQ_Log's two destinations: the sink (the exact UTF-16 text of each record)
// and the file. Each test runs in a process of its own (one CTest test per
// case) whose ZQ_LOG_FILE names a fresh file, set in main() before the first
// record.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kx_traxel/zq_log.h>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

using Strings = std::vector<std::string>;
std::filesystem::path g_logPath;
size_t g_testStart = 0;  // where the current test's records begin in the file

// The file from the current test's first record on.
std::string ReadAll() { return kx::test::FileBytes(g_logPath).substr(g_testStart); }

class ZqLog : public ::testing::Test {
 protected:
  void SetUp() override { g_testStart += ReadAll().size(); }
};

struct Record { std::string time, thread, text; };

// Splits the file into records; every line must have the record shape.
std::vector<Record> ReadRecords() {
  static const std::regex shape(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\d+) (.*)$)");
  std::vector<Record> records;
  std::istringstream lines(ReadAll());
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, shape)) << "line: " << line;
    if (match.size() == 4) records.push_back({match[1], match[2], match[3]});
  }
  return records;
}

TEST_F(ZqLog, SinkGetsTheTextExactlyAndPrintFormatsWide) {
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

// A sink may log itself (the lock is re-entrant for its own thread); while
// it is set, nothing reaches the file.
TEST_F(ZqLog, SinkThatLogsDoesNotDeadlockAndTakesRecordsAwayFromTheFile) {
  Strings seen;
  ZqLog_SetSink(
      [](void* context, const kx_wchar* text) {
        auto* records = static_cast<Strings*>(context);
        records->push_back(kx::test::ToUtf8(text));
        if (records->size() == 1) LogTextW(KX_W("echo"));
      },
      &seen);
  LogTextW(KX_W("to the sink"));
  ZqLog_SetSink(nullptr, nullptr);
  LogTextW(KX_W("to the file"));
  EXPECT_EQ(seen, (Strings{"to the sink", "echo"}));
  const std::vector<Record> records = ReadRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "to the file");
}

// Each record in the file is "<UTC time> <thread> <text>" in UTF-8 (a lone
// surrogate as U+FFFD); a line feed is added only where the text has none,
// and an empty text still makes a record.
TEST_F(ZqLog, FileRecordsHaveTimeThreadAndUtf8Text) {
  const kx_wchar loneSurrogate[] = {KX_W('a'), static_cast<kx_wchar>(0xD800), KX_W('b'), 0};
  LogTextW(KX_W("kx_Traxel.dll: Return encodersEX..."));
  LogPrintW(KX_W("kx_Traxel info %s\n"), KX_W("[Media Foundation ]: FlushEncode"));
  LogPrintW(KX_W("%d fps"), 25);
  LogTextW(KX_W("Gr\u00fc\u00dfe \u65e5\u672c \U0001F600"));
  LogTextW(loneSurrogate);
  LogTextW(KX_W(""));
  const std::string content = ReadAll();
  EXPECT_EQ(content.find("\n\n"), std::string::npos);
  const std::vector<Record> records = ReadRecords();
  ASSERT_EQ(records.size(), 6u);
  const std::string texts[] = {"kx_Traxel.dll: Return encodersEX...", "kx_Traxel info [Media Foundation ]: FlushEncode",
                               "25 fps", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
                               "a\xEF\xBF\xBD" "b", ""};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(records[i].text, texts[i]) << i;
  EXPECT_EQ(records[0].thread, records[5].thread);
  EXPECT_GE(std::stoi(records[0].time.substr(0, 4)), 2024) << records[0].time;  // a plausible UTC date
  LogTextW(KX_W("two\nlines\n"));
  const std::string last = ReadAll().substr(content.size());
  EXPECT_EQ(last.substr(last.find(' ', last.find(' ') + 1)), " two\nlines\n") << "embedded line feeds stay";
}

// Each record is whole, and each writer shows a thread id of its own.
TEST_F(ZqLog, FileRecordsFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8, kRecordsPerThread = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::basic_string<kx_wchar> padding(300, static_cast<kx_wchar>(KX_W('a') + t));
      for (int i = 0; i < kRecordsPerThread; ++i) LogPrintW(KX_W("T%d-%d %s"), t, i, padding.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::vector<Record> records = ReadRecords();
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kRecordsPerThread));
  std::set<std::string> texts, writerThreads, ids;
  for (const Record& record : records) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(record.text.c_str(), "T%d-%d", &t, &i), 2) << record.text;
    EXPECT_EQ(record.text, "T" + std::to_string(t) + "-" + std::to_string(i) + " " + std::string(300, char('a' + t)));
    texts.insert(record.text);
    writerThreads.insert(std::to_string(t) + " " + record.thread);
    ids.insert(record.thread);
  }
  EXPECT_EQ(texts.size(), records.size());
  EXPECT_EQ(writerThreads.size(), static_cast<size_t>(kThreads));  // one id per writer...
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));            // ...and the ids differ
}

}  // namespace

int main(int argc, char** argv) {
  g_logPath = kx::test::UniqueTempPath("zqlog_test.log");
  std::filesystem::remove(g_logPath);
#if defined(_WIN32)
  _wputenv_s(L"ZQ_LOG_FILE", g_logPath.wstring().c_str());
#else
  setenv("ZQ_LOG_FILE", g_logPath.c_str(), 1);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;  // still open in ZQ_Log on Windows
  std::filesystem::remove(g_logPath, ignored);
  return result;
}
