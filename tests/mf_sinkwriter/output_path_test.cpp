// Where the sink writer's output goes: a file under the name given, held by
// one writer at a time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

extern "C" {
#include <libavformat/avio.h>
}

#include "writer_helpers.h"

namespace sinkwriter_test {
namespace {

const VideoSpec kSmall{.subtype = MFVideoFormat_WMV2, .width = 64, .height = 48};

// A name that starts like a URL of any protocol libavformat knows is a file
// name: each clip lands in the current folder under its literal name.
TEST_F(MfTest, NamesThatLookLikeUrlsAreFileNames) {
  const std::filesystem::path folder = TempPath("urls"), previous = std::filesystem::current_path();
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  for (int output = 0; output < 2; ++output) {
    void* opaque = nullptr;
    while (const char* protocol = avio_enum_protocols(&opaque, output)) {
      const std::string name = protocol + std::string(":") + std::to_string(output) + ".wmv";
      try {
        Writer writer(name, &kSmall, nullptr);
        EXPECT_EQ(writer.WriteClip(2, 0), S_OK) << name;
        writer.path = (folder / name).string();
        EXPECT_EQ(writer.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 2) << name;
      } catch (const std::exception& failure) {
        ADD_FAILURE() << name << ": " << failure.what();
      }
    }
  }
  std::filesystem::current_path(previous);
}

// A writer holds its file from BeginWriting to its end: a second writer on
// the path, or one while another process writes the file (holding its lock),
// is refused with the sharing violation, and the file stays whole.
TEST_F(MfTest, OneWriterAtATimePerPath) {
  const std::string path = TempPath("held.wmv");
  const auto begin = [&]() {
    ComPtr<IMFSinkWriter> second;
    DWORD index = 0;
    Check(MFCreateSinkWriterFromURL(Wide(path).c_str(), nullptr, nullptr, &second), "create");
    Check(second->AddStream(VideoOutputType(kSmall).Get(), &index), "AddStream");
    Check(second->SetInputMediaType(index, VideoInputType(kSmall).Get(), nullptr), "SetInputMediaType");
    return second->BeginWriting();
  };
  Writer first(path, &kSmall, nullptr);
  ASSERT_EQ(first.WriteClip(3, 0), S_OK);
  EXPECT_EQ(begin(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(first.FinishAndRead().DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  const int other = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(begin(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  close(other);
  EXPECT_EQ(kx::test::ReadMediaFile(path).DecodedFrames(AVMEDIA_TYPE_VIDEO), 3);
  EXPECT_EQ(begin(), S_OK) << "the lock ends with its holder";
}

}  // namespace
}  // namespace sinkwriter_test
