// The plug-in as a host sees it: loaded by path (plugin_loader.h), its table
// rows found by FourCC and their slots read at their byte offsets, records
// built by offset (host_records.h), and the log captured through the
// ZqLog_SetSink the log library exports.
#pragma once

#include <cstring>

#include <kx_traxel/kx_traxel.h>

#include "host_records.h"
#include "log_capture.h"
#include "plugin_loader.h"

namespace kx::test {

template <typename Fn>
Fn SlotAt(const void* row, size_t offset) {
  const void* pointer = ReadPointer(row, offset);
  Fn fn;
  std::memcpy(&fn, &pointer, sizeof fn);
  return fn;
}

// The row of a table whose fourcc is `fourcc`, walking rows of `rowBytes`.
inline const uint8_t* FindRow(const void* table, size_t rowBytes, const char* fourcc) {
  for (const auto* row = static_cast<const uint8_t*>(table); ReadU32(row, 0) != 0; row += rowBytes) {
    if (ReadU32(row, 0) == FourCC(fourcc)) return row;
  }
  return nullptr;
}

struct SingleStreamRow {
  CreateMediaFileFn create;
  WriteAudioFrameFn writeAudio;
  WriteVideoFrameFn writeVideo;
  CloseMediaFileFn close;
};

inline SingleStreamRow SingleStreamSlots(const uint8_t* row) {
  return {SlotAt<CreateMediaFileFn>(row, host::kCreateSlot), SlotAt<WriteAudioFrameFn>(row, host::kWriteAudioSlot),
          SlotAt<WriteVideoFrameFn>(row, host::kWriteVideoSlot), SlotAt<CloseMediaFileFn>(row, host::kCloseSlot)};
}

struct MultiStreamRow {
  CreateMediaFileMultiStreamFn create;
  AddStreamInfoMultiStreamFn addStream;
  InitMediaFileMultiStreamFn init;
  WriteFrameMultiStreamFn writeFrame;
  CloseMediaFileMultiStreamFn close;
  WriteExtraDataMultiStreamFn writeExtraData;
};

inline MultiStreamRow MultiStreamSlots(const uint8_t* row) {
  constexpr size_t s = host::kMultiCreateSlot;
  return {SlotAt<CreateMediaFileMultiStreamFn>(row, s), SlotAt<AddStreamInfoMultiStreamFn>(row, s + 8),
          SlotAt<InitMediaFileMultiStreamFn>(row, s + 16), SlotAt<WriteFrameMultiStreamFn>(row, s + 24),
          SlotAt<CloseMediaFileMultiStreamFn>(row, s + 32), SlotAt<WriteExtraDataMultiStreamFn>(row, s + 40)};
}

using TableFn = const void* (*)();
inline const void* FileFormatTableOfPlugin() { return Plugin().Function<TableFn>("GetFileFormats")(); }
inline const void* MultiStreamTableOfPlugin() { return Plugin().Function<TableFn>("GetFileMultiStreamFormats")(); }

inline const uint8_t* SingleStreamRowOf(const char* fourcc) {
  return FindRow(FileFormatTableOfPlugin(), host::kFileFormatRowBytes, fourcc);
}
inline const uint8_t* MultiStreamRowOf(const char* fourcc) {
  return FindRow(MultiStreamTableOfPlugin(), host::kMultiStreamRowBytes, fourcc);
}

// The log library's ZqLog_SetSink, for a LogCapture: LogCapture log{PluginLogSink()}.
inline LogCapture::SetSinkFn PluginLogSink() {
  return LogLibrary().Function<LogCapture::SetSinkFn>("ZqLog_SetSink");
}

}  // namespace kx::test
