// ZQ_Log's file destination. Each test runs in a process of its own (one
// CTest test per case) whose ZQ_LOG_FILE names a fresh file, set in main()
// before the first record.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <kx_traxel/zq_log.h>

#include "temp_dir.h"

namespace {

std::filesystem::path g_logPath;

struct Record {
  std::string time;
  std::string thread;
  std::string text;
};

std::string ReadWholeFile() {
  std::ifstream in(g_logPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where the current test's records begin (when all cases share one process).
size_t g_testStart = 0;

std::string ReadAll() { return ReadWholeFile().substr(g_testStart); }

class ZqLogFile : public ::testing::Test {
 protected:
  void SetUp() override { g_testStart = ReadWholeFile().size(); }
};

// Splits the file into records; every line must have the record shape.
std::vector<Record> ReadRecords() {
  static const std::regex shape(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\d+) (.*)$)");
  std::vector<Record> records;
  std::istringstream lines(ReadAll());
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, shape)) << "line: " << line;
    if (match.size() == 4) records.push_back({match[1], match[2], match[3]});
  }
  return records;
}

// Each record is "<UTC time> <thread> <text>" in UTF-8 (a lone surrogate
// as U+FFFD); a line feed is added only where the text has none, and an
// empty text still makes a record.
TEST_F(ZqLogFile, RecordsHaveTimeThreadAndUtf8Text) {
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
  const std::string& t = records[0].time;  // a plausible UTC date
  EXPECT_GE(std::stoi(t.substr(0, 4)), 2024) << t;
  EXPECT_TRUE(std::stoi(t.substr(5, 2)) <= 12 && std::stoi(t.substr(8, 2)) <= 31 && std::stoi(t.substr(11, 2)) < 24) << t;
  LogTextW(KX_W("two\nlines\n"));
  EXPECT_EQ(ReadAll().substr(content.size()).find(" two\nlines\n"), ReadAll().size() - content.size() - 11)
      << "embedded line feeds stay";
}

TEST_F(ZqLogFile, RecordsFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kRecordsPerThread = 250;
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
  std::set<std::string> seen;
  std::map<int, std::set<std::string>> threadIdsByWriter;
  for (const Record& record : records) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(record.text.c_str(), "T%d-%d", &t, &i), 2) << record.text;
    const std::string expected =
        "T" + std::to_string(t) + "-" + std::to_string(i) + " " + std::string(300, static_cast<char>('a' + t));
    EXPECT_EQ(record.text, expected);
    seen.insert(record.text);
    threadIdsByWriter[t].insert(record.thread);
  }
  EXPECT_EQ(seen.size(), records.size());
  // Each writer shows one thread id, and the writers' ids differ.
  std::set<std::string> ids;
  for (const auto& [writer, writerIds] : threadIdsByWriter) ids.insert(writerIds.begin(), writerIds.end());
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
}

TEST_F(ZqLogFile, SinkTakesRecordsAwayFromTheFileUntilCleared) {
  int count = 0;
  ZqLog_SetSink([](void* context, const kx_wchar*) { ++*static_cast<int*>(context); }, &count);
  LogTextW(KX_W("to the sink"));
  ZqLog_SetSink(nullptr, &count);
  LogTextW(KX_W("to the file"));
  EXPECT_EQ(count, 1);
  const std::vector<Record> records = ReadRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "to the file");
}

}  // namespace

int main(int argc, char** argv) {
  g_logPath = kx::test::UniqueTempPath("zqlog_file_test.log");
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
