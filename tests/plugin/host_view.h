// The plug-in as a host sees it: loaded by path (the environment's
// KX_TRAXEL_LIBRARY / ZQ_LOG_LIBRARY, else the build's), its table rows found
// by FourCC and their slots read at their byte offsets, records built by
// offset (host_records.h), the log captured through the ZqLog_SetSink the
// log library exports. Both libraries stay loaded for the whole program.
#pragma once

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <kx_traxel/kx_traxel.h>

#include "host_records.h"
#include "log_capture.h"

namespace kx::test {

// The library at `path`; null if it does not load.
inline void* LoadPath(const char* path) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(LoadLibraryA(path));
#else
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}
// A library by the path in `variable`, else `fallback`.
inline void* Load(const char* variable, const char* fallback) {
  const char* path = std::getenv(variable);
  return LoadPath(path != nullptr && path[0] != '\0' ? path : fallback);
}
// The log library first, so that the plug-in shares its one instance.
inline void* LogLibrary() {
  static void* const library = Load("ZQ_LOG_LIBRARY", KX_TEST_ZQLOG_PATH);
  return library;
}
inline void* Plugin() {
  static void* const library = (LogLibrary(), Load("KX_TRAXEL_LIBRARY", KX_TEST_TRAXEL_PATH));
  return library;
}
template <typename Fn>
Fn Export(void* library, const char* name) {
#if defined(_WIN32)
  void* symbol = library ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)) : nullptr;
#else
  void* symbol = library ? dlsym(library, name) : nullptr;
#endif
  return reinterpret_cast<Fn>(symbol);
}
// For a LogCapture of the plug-in's records: LogCapture log{PluginLogSink()}.
inline LogCapture::SetSinkFn PluginLogSink() { return Export<LogCapture::SetSinkFn>(LogLibrary(), "ZqLog_SetSink"); }

template <typename Fn>
Fn SlotAt(const void* row, size_t offset) {
  const void* pointer = ReadPointer(row, offset);
  Fn fn;
  std::memcpy(&fn, &pointer, sizeof fn);
  return fn;
}

using TableFn = const void* (*)();
inline const void* Table(const char* exportName) { return Export<TableFn>(Plugin(), exportName)(); }

// The row of a table whose fourcc is `fourcc`, walking rows of `rowBytes`.
inline const uint8_t* FindRow(const void* table, size_t rowBytes, const char* fourcc) {
  for (const auto* row = static_cast<const uint8_t*>(table); ReadU32(row, 0) != 0; row += rowBytes) {
    if (ReadU32(row, 0) == FourCC(fourcc)) return row;
  }
  return nullptr;
}

struct SingleStreamRow { CreateMediaFileFn create; WriteAudioFrameFn writeAudio; WriteVideoFrameFn writeVideo;
    CloseMediaFileFn close; };
inline SingleStreamRow SingleStreamSlots(const uint8_t* row) {
  if (row == nullptr) return {};
  return {SlotAt<CreateMediaFileFn>(row, host::kCreateSlot), SlotAt<WriteAudioFrameFn>(row, host::kWriteAudioSlot),
          SlotAt<WriteVideoFrameFn>(row, host::kWriteVideoSlot), SlotAt<CloseMediaFileFn>(row, host::kCloseSlot)};
}

inline SingleStreamRow SingleStreamSlots(const void* table, const char* fourcc) {
  return SingleStreamSlots(FindRow(table, host::kFileFormatRowBytes, fourcc));
}

struct MultiStreamRow { CreateMediaFileMultiStreamFn create; AddStreamInfoMultiStreamFn addStream;
    InitMediaFileMultiStreamFn init; WriteFrameMultiStreamFn writeFrame; CloseMediaFileMultiStreamFn close;
    WriteExtraDataMultiStreamFn writeExtraData; };
inline MultiStreamRow MultiStreamSlots(const void* table, const char* fourcc) {
  const uint8_t* row = FindRow(table, host::kMultiStreamRowBytes, fourcc);
  if (row == nullptr) return {};
  constexpr size_t s = host::kMultiCreateSlot;
  return {SlotAt<CreateMediaFileMultiStreamFn>(row, s), SlotAt<AddStreamInfoMultiStreamFn>(row, s + 8),
          SlotAt<InitMediaFileMultiStreamFn>(row, s + 16), SlotAt<WriteFrameMultiStreamFn>(row, s + 24),
          SlotAt<CloseMediaFileMultiStreamFn>(row, s + 32), SlotAt<WriteExtraDataMultiStreamFn>(row, s + 40)};
}
inline SingleStreamRow SingleStreamSlots(const char* fourcc) { return SingleStreamSlots(Table("GetFileFormats"), fourcc); }
inline MultiStreamRow MultiStreamSlots(const char* fourcc) {
  return MultiStreamSlots(Table("GetFileMultiStreamFormats"), fourcc);
}

}  // namespace kx::test
