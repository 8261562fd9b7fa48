// Where the sink writer's output goes: a file under the name given, held by
// one writer at a time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <set>

extern "C" {
#include <libavformat/avio.h>
}

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

// Every protocol libavformat knows, for reading or writing.
std::set<std::string> Protocols() {
  std::set<std::string> names;
  for (int output = 0; output < 2; ++output) {
    void* opaque = nullptr;
    while (const char* name = avio_enum_protocols(&opaque, output)) names.insert(name);
  }
  return names;
}

// Names that start like a URL are file names: each clip lands in the
// current folder under its literal name, and nothing else appears there.
TEST_F(MfTest, NamesThatLookLikeUrlsAreFileNames) {
  const std::filesystem::path folder = std::filesystem::path(TempPath("urls"));
  std::filesystem::create_directories(folder);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  const std::set<std::string> protocols = Protocols();
  ASSERT_TRUE(protocols.count("pipe") && protocols.count("file"));
  const VideoSpec video{.subtype = MFVideoFormat_WMV2, .width = 64, .height = 48};
  for (const std::string& protocol : protocols) {
    const std::string name = protocol + ":1.wmv";
    SCOPED_TRACE(name);
    try {
      Writer writer(name, &video, nullptr);
      EXPECT_EQ(writer.WriteClip(2, 0), S_OK);
      writer.path = (folder / name).string();
      EXPECT_EQ(writer.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 2);
    } catch (const std::exception& failure) {
      ADD_FAILURE() << failure.what();
    }
  }
  std::filesystem::current_path(previous);
  EXPECT_EQ(static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {})), protocols.size());
}

// A writer holds its file from BeginWriting to its end: a second writer on
// the path, or a file another process is writing (holding its lock), is
// refused at BeginWriting with the sharing violation, and the first
// writer's file is whole.
TEST_F(MfTest, OneWriterAtATimePerPath) {
  const VideoSpec video{.subtype = MFVideoFormat_WMV2, .width = 64, .height = 48};
  const std::string path = TempPath("held.wmv");
  const auto begin = [&]() {
    ComPtr<IMFSinkWriter> second;
    DWORD index = 0;
    Check(MFCreateSinkWriterFromURL(Wide(path).c_str(), nullptr, nullptr, &second), "create");
    Check(second->AddStream(VideoOutputType(video).Get(), &index), "AddStream");
    Check(second->SetInputMediaType(index, VideoInputType(video).Get(), nullptr), "SetInputMediaType");
    return second->BeginWriting();
  };
  {
    Writer first(path, &video, nullptr);
    ASSERT_EQ(first.WriteClip(3, 0), S_OK);
    EXPECT_EQ(begin(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(first.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  }
  const int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(begin(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  close(other);
  EXPECT_EQ(kx::test::ReadMediaFile(path).DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  EXPECT_EQ(begin(), S_OK) << "the lock ends with its holder";
}

}  // namespace
}  // namespace sinkwriter_test
