// The slots of the discovery tables as a host takes them: a function pointer
// read at its byte offset of the row and called with the host header's slot
// type.
#pragma once

#include <cstring>

#include <kx_traxel/kx_traxel.h>

#include "host_view.h"
#include "plugin_loader.h"

namespace kxtest {

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
  return {SlotAt<CreateMediaFileFn>(row, 424), SlotAt<WriteAudioFrameFn>(row, 432),
          SlotAt<WriteVideoFrameFn>(row, 440), SlotAt<CloseMediaFileFn>(row, 448)};
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
  return {SlotAt<CreateMediaFileMultiStreamFn>(row, 432), SlotAt<AddStreamInfoMultiStreamFn>(row, 440),
          SlotAt<InitMediaFileMultiStreamFn>(row, 448),   SlotAt<WriteFrameMultiStreamFn>(row, 456),
          SlotAt<CloseMediaFileMultiStreamFn>(row, 464),  SlotAt<WriteExtraDataMultiStreamFn>(row, 472)};
}

inline const void* FileFormatTableOfPlugin() {
  return Plugin().Function<const void* (*)()>("GetFileFormats")();
}

inline const void* MultiStreamTableOfPlugin() {
  return Plugin().Function<const void* (*)()>("GetFileMultiStreamFormats")();
}

}  // namespace kxtest
