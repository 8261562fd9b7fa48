// The MP4 file that survives its writer, seen from outside: packets of real
// encoders go through the layer's muxer and, for comparison, through
// libavformat's plain MP4 muxer; the ffmpeg tool decodes both, and files cut
// while they were written.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "media_probe.h"
#include "sinkwriter/av_muxer.h"
#include "sinkwriter/mp4_hybrid.h"
#include "temp_dir.h"

namespace {

using kx::av::AvMuxer;

// The decoded frames of each stream, a line each: times as the file keeps
// them, size and MD5 of the picture or samples. Frames before time zero (an
// audio encoder's priming, which a fragment's edit list keeps) are left out.
std::map<std::string, std::vector<std::string>> DecodedFrames(const std::string& path) {
  std::istringstream lines(kx::test::RunCommand("ffmpeg -v error -copyts -i '" + path + "' -map 0 -f framemd5 -"));
  std::map<std::string, std::vector<std::string>> frames;
  for (std::string line; std::getline(lines, line);) {
    const size_t stream = line.find(','), afterDts = line.find(',', stream + 1);
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0])) || afterDts == std::string::npos) continue;
    if (std::stoll(line.substr(afterDts + 1)) >= 0) frames[line.substr(0, stream)].push_back(line.substr(stream + 1));
  }
  return frames;
}

struct TopBox {
  std::string type;
  size_t offset, size;
};

std::vector<TopBox> TopLevelBoxes(const std::string& bytes) {
  std::vector<TopBox> boxes;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    const size_t size = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    boxes.push_back({bytes.substr(at + 4, 4), at, size});
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

// The packets of `source` written to the layer's muxer at `path` and to the
// plain muxer at `plainPath`; `halfway` runs about halfway.
void WriteBoth(const std::string& source, const std::string& path, const std::string& plainPath,
               const std::function<void()>& halfway, int64_t keep) {
  AVFormatContext* input = nullptr;
  ASSERT_EQ(avformat_open_input(&input, source.c_str(), nullptr, nullptr), 0) << source;
  ASSERT_GE(avformat_find_stream_info(input, nullptr), 0);
  std::unique_ptr<AvMuxer> muxer;
  ASSERT_EQ(AvMuxer::Create(path, kx::av::ContainerKind::kMp4, &muxer), 0);
  AVFormatContext* plain = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&plain, nullptr, "mp4", plainPath.c_str()), 0);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    int index = -1;
    ASSERT_EQ(muxer->AddStream(input->streams[i]->codecpar, input->streams[i]->time_base, &index), 0);
    AVStream* stream = avformat_new_stream(plain, nullptr);
    avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar);
    stream->codecpar->codec_tag = 0;
    stream->time_base = input->streams[i]->time_base;
  }
  ASSERT_EQ(muxer->WriteHeader(), 0);
  ASSERT_GE(avio_open(&plain->pb, plainPath.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(plain, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  for (int64_t i = 0; av_read_frame(input, packet) >= 0; ++i, av_packet_unref(packet)) {
    if (i == 100) halfway();  // of the 3 s of the cases with sound
    if (i >= keep && keep >= 0) continue;
    AVPacket* copy = av_packet_clone(packet);
    av_packet_rescale_ts(copy, input->streams[copy->stream_index]->time_base,
                         plain->streams[copy->stream_index]->time_base);
    EXPECT_GE(av_interleaved_write_frame(plain, copy), 0);
    av_packet_free(&copy);
    EXPECT_EQ(muxer->WritePacket(packet, packet->stream_index), 0);
  }
  av_packet_free(&packet);
  EXPECT_EQ(muxer->Finish(), 0);
  EXPECT_GE(av_write_trailer(plain), 0);
  avio_closep(&plain->pb);
  avformat_free_context(plain);
  avformat_close_input(&input);
}

// What the ffmpeg tool encodes for each case; `keep` packets of it are
// written (all when negative).
struct Case {
  const char* name;
  const char* encode;
  int64_t keep;
} const kCases[] = {
    {"H.264 with B-frames, AAC", "-c:v libx264 -bf 3 -g 30 -c:a aac", -1},
    {"H.265, AAC", "-c:v libx265 -x265-params log-level=error -c:a aac", -1},
    {"AAC alone", "-vn -c:a aac", -1},
    {"no packets", "-c:v libx264 -c:a aac", 0},
};

TEST(Mp4Layout, FinishedFilesArePlainWithThePlainLayoutsSamplesAndCutFilesPlayUpToTheCut) {
  kx::test::TempDir dir;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string source = (dir.path() / "source.mov").string(), path = (dir.path() / "out.mp4").string(),
                      plainPath = (dir.path() / "plain.mp4").string(), cut = (dir.path() / "cut.mp4").string();
    kx::test::RunCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=256x144:rate=25 -f lavfi -i sine=f=440 -t 3 " +
                         std::string(c.encode) + " '" + source + "'");
    WriteBoth(source, path, plainPath, [&] { std::filesystem::copy_file(path, cut, std::filesystem::copy_options::overwrite_existing); }, c.keep);

    const auto frames = DecodedFrames(path);
    EXPECT_EQ(frames, DecodedFrames(plainPath));
    EXPECT_EQ(frames.empty(), c.keep == 0);
    EXPECT_TRUE(kx::test::ReadMediaFile(path).opened);
    const std::string bytes = kx::test::FileBytes(path);
    std::string types;
    for (const TopBox& box : TopLevelBoxes(bytes)) {
      types += box.type + " ";
      if (box.type == "moov") {
        EXPECT_EQ(bytes.substr(box.offset, box.size).find("mvex"), std::string::npos);
      }
    }
    EXPECT_EQ(types.find("moof"), std::string::npos) << types;
    EXPECT_EQ(types.find("moov"), types.rfind("moov")) << types;

    // The file as it was halfway, cut at every box boundary and inside boxes:
    // what decodes is the start of the finished file's frames.
    const std::string partial = kx::test::FileBytes(cut);
    size_t decoded = 0;
    for (const TopBox& box : TopLevelBoxes(partial)) {
      for (size_t at : {box.offset, box.offset + 9, box.offset + box.size / 2, partial.size()}) {
        std::ofstream(cut, std::ios::binary | std::ios::trunc).write(partial.data(), static_cast<std::streamsize>(at));
        size_t count = 0;
        for (const auto& [stream, got] : DecodedFrames(cut)) {
          // The finished file's frames in order, but for those a cut in
          // decoding order leaves out just before it (B-frames).
          ASSERT_TRUE(frames.count(stream)) << "stream " << stream << " cut at " << at;
          const std::vector<std::string>& all = frames.at(stream);
          size_t j = 0;
          for (const std::string& frame : got) {
            const size_t from = j;
            while (j < all.size() && all[j] != frame) ++j;
            ASSERT_LT(j, all.size()) << "stream " << stream << " cut at " << at << ": " << frame;
            EXPECT_LE(j - from, 4u) << "stream " << stream << " cut at " << at << ": frames lost before " << frame;
            ++j;
          }
          count += got.size();
        }
        decoded = std::max(decoded, count);
      }
    }
    if (c.keep < 0) {
      EXPECT_GT(decoded, frames.begin()->second.size() / 4);
    }
  }
}

}  // namespace

namespace {

// Samples past 4 GiB: a fragmented file with a hole of 4.5 GiB (a sparse
// `free` box) before its fragments, finished as the muxer finishes it.
TEST(Mp4Layout, SamplesPast4GiBGetLargeChunkOffsets) {
  kx::test::TempDir dir;
  const std::string source = (dir.path() / "source.mov").string(), fragmented = (dir.path() / "f.mp4").string(),
                    plain = (dir.path() / "plain.mp4").string(), big = (dir.path() / "big.mp4").string();
  kx::test::RunCommand("ffmpeg -v error -f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i sine -t 2 -c:v libx264 "
                       "-bf 3 -c:a aac '" + source + "' && ffmpeg -v error -i '" + source + "' -c copy -movflags "
                       "frag_keyframe+empty_moov+delay_moov+default_base_moof+skip_trailer -frag_duration 500000 '" +
                       fragmented + "' && ffmpeg -v error -i '" + source + "' -c copy '" + plain + "'");
  const std::string bytes = kx::test::FileBytes(fragmented), plainBytes = kx::test::FileBytes(plain);
  const std::vector<TopBox> boxes = TopLevelBoxes(bytes);
  ASSERT_GT(boxes.size(), 3u);
  const size_t split = boxes[1].offset + boxes[1].size;  // ftyp, the initial moov
  const int64_t hole = int64_t{9} << 29;
  std::string free = {0, 0, 0, 1, 'f', 'r', 'e', 'e'};
  for (int shift = 56; shift >= 0; shift -= 8) free.push_back(static_cast<char>(hole >> shift));
  const int fd = open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const int64_t size = hole + static_cast<int64_t>(bytes.size());
  ASSERT_EQ(pwrite(fd, bytes.data(), split, 0), static_cast<ssize_t>(split));
  ASSERT_EQ(pwrite(fd, free.data(), free.size(), split), 16);
  ASSERT_EQ(pwrite(fd, bytes.data() + split, bytes.size() - split, split + hole), ssize_t(bytes.size() - split));

  std::string plainFtyp, plainMoov;
  for (const TopBox& box : TopLevelBoxes(plainBytes)) {
    if (box.type == "ftyp") plainFtyp = plainBytes.substr(box.offset, box.size);
    if (box.type == "moov") plainMoov = plainBytes.substr(box.offset, box.size);
  }
  kx::av::Mp4FinishPlan plan;
  std::string why;
  ASSERT_TRUE(kx::av::PlanPlainMp4([fd](int64_t at, void* data, size_t n) { return pread(fd, data, n, at) == ssize_t(n); },
                                   size, plainFtyp, plainMoov, &plan, &why)) << why;
  EXPECT_NE(plan.moov.find("co64"), std::string::npos);
  ASSERT_EQ(pwrite(fd, plan.moov.data(), plan.moov.size(), size), ssize_t(plan.moov.size()));
  for (const kx::av::Mp4Patch& patch : plan.patches)
    ASSERT_EQ(pwrite(fd, patch.bytes.data(), patch.bytes.size(), patch.offset), ssize_t(patch.bytes.size()));
  close(fd);
  EXPECT_EQ(DecodedFrames(big), DecodedFrames(plain));
}

}  // namespace
