// A stand-in for the library's GetFileFormats table, linked into the adapter
// tests in place of the real one: every slot records its call, so that the
// test sees exactly what the multi-stream adapter forwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

namespace kx::test {

struct FakeCall {
  std::string slot;  // "create", "audio", "video", "close", "audio extra", "video extra"
  MediaFileHandle handle = nullptr;
  std::vector<uint8_t> record;  // create: the merged record's bytes
  std::vector<uint8_t> extraData[3];  // create: the bytes behind video, audio, subpicture pExtraData
  std::string fileName;
  uint64_t value = 0;
  uint32_t index = 0;
  const MediaFrame* frame = nullptr;
  std::vector<uint8_t> first, second;  // extra-data slots: the blocks handed over
  bool firstNull = true, secondNull = true;
};

struct FakeFileFormats {
  std::vector<FakeCall> calls;
  // What the fake create returns (the fake file by default).
  MediaFileHandle createResult = nullptr;
  void Reset();
};

FakeFileFormats& Fake();

// The handle the fake create returns by default.
MediaFileHandle FakeFile();

// What the fake writes return for a non-null handle.
constexpr int32_t kFakeAudioResult = 11;
constexpr int32_t kFakeVideoResult = 22;

}  // namespace kx::test
