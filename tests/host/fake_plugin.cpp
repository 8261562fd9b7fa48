// A plug-in for kx-host's checks of what it is told and what it finds: one
// .wmv row (WMV2 video) that takes every picture, and at close copies the
// file KX_FAKE_FILE to the output after logging KX_FAKE_LOG through the sink;
// with KX_FAKE_WRITES=N the picture after the first N is refused.
#include <cstdlib>
#include <fstream>
#include <string>

#include <kx_traxel/kx_traxel.h>
#include <kx_traxel/zq_log.h>

namespace {

ZqLogSink sink = nullptr;
void* sinkContext = nullptr;
CodecListEntry videoCodecs[] = {{KX_FOURCC('W', 'M', 'V', '2'), 1}, {0, 0}};
EncoderDescriptor encoders[] = {{.fourcc = KX_FOURCC('W', 'M', 'V', '2'), .shortName = {}, .description = {},
                                 .isVideo = 1, .reserved = {}},
                                {}};

MediaFileHandle Create(const kx_wchar* name, const EncodeParams*, uint64_t) {
  auto* path = new std::string;
  for (; *name != 0; ++name) *path += static_cast<char>(*name);
  std::ofstream(*path) << "started";
  return path;
}
int32_t WriteVideo(MediaFileHandle, const MediaFrame*, uint32_t) {
  static int written = 0;
  const char* limit = std::getenv("KX_FAKE_WRITES");
  return limit == nullptr || written++ < std::atoi(limit) ? 1 : 0;
}
int32_t WriteAudio(MediaFileHandle, const MediaFrame*, uint64_t, uint32_t) { return 1; }
void Close(MediaFileHandle handle) {
  auto* path = static_cast<std::string*>(handle);
  if (const char* line = std::getenv("KX_FAKE_LOG"); line != nullptr && sink != nullptr) {
    std::u16string text(line, line + std::char_traits<char>::length(line));
    sink(sinkContext, reinterpret_cast<const kx_wchar*>(text.c_str()));
  }
  if (const char* copied = std::getenv("KX_FAKE_FILE")) {
    std::ofstream(*path, std::ios::binary) << std::ifstream(copied, std::ios::binary).rdbuf();
  }
  delete path;
}

FileFormatDescriptor formats[] = {{.fourcc = KX_FOURCC('W', 'W', 'M', 'V'), .extension = {'.', 'w', 'm', 'v'},
                                   .shortName = {}, .description = {}, .audioCodecs = nullptr,
                                   .videoCodecs = videoCodecs, .CreateMediaFile = Create, .WriteAudioFrame = WriteAudio,
                                   .WriteVideoFrame = WriteVideo, .CloseMediaFile = Close, .SetAudioExtraData = nullptr,
                                   .SetVideoExtraData = nullptr, .reserved = {}},
                                  {}};
MultiStreamFormatDescriptor multiStreamFormats[1] = {};

}  // namespace

extern "C" {
KX_EXPORT EncoderDescriptor* GetEncoders() { return encoders; }
KX_EXPORT FileFormatDescriptor* GetFileFormats() { return formats; }
KX_EXPORT MultiStreamFormatDescriptor* GetFileMultiStreamFormats() { return multiStreamFormats; }
KX_EXPORT void ZqLog_SetSink(ZqLogSink newSink, void* context) {
  sink = newSink;
  sinkContext = context;
}
}
