// The host-record copy (EncodeParamsCopy, StreamExtraBlockCopy,
// EncodeParamsRelease) on records filled from the fuzz input. The three
// codec-private-data buffers are the host's: each points at a buffer of
// exactly the length the input gives it (bounded by the input), at a
// zero-byte buffer when that length is 0 or negative as a signed 32-bit
// value, or is null. ASan sees any read outside them, LeakSanitizer any
// buffer of the library's that was not freed.
//
// Input: flags (1 byte), then per section (video, audio, subpicture) a
// pointer mode (1 byte) and nExtraDataSize (4 bytes, little-endian), then
// the pool: the bytes every other field of the record is filled with, and
// the contents of the buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kxrecords/encode_params.h"
#include "fuzz_check.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;  // what the library must leave in padding

template <typename Params>  // EncodeParams or const EncodeParams
auto& Section(Params& p, int i) { return i == 0 ? p.video.extra : i == 1 ? p.audio.extra : p.subpicture.extra; }

bool BytesAre(const void* p, size_t n, uint8_t value) {
  return std::all_of(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n,
                     [&](uint8_t b) { return b == value; });
}
bool SameBytes(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

// A copy of one section: the plain bytes as the host's, the buffer a copy
// of the host's bytes or absent, the padding as it was.
void CheckBlockCopy(const StreamExtraBlock& dst, const StreamExtraBlock& src) {
  KX_FUZZ_CHECK(SameBytes(&dst, &src, offsetof(StreamExtraBlock, padding0)));
  KX_FUZZ_CHECK(BytesAre(&dst.padding0, sizeof dst.padding0, kUntouched));
  KX_FUZZ_CHECK(BytesAre(&dst.padding1, sizeof dst.padding1, kUntouched));
  const auto hostBytes = static_cast<int32_t>(src.nExtraDataSize);
  if (src.pExtraData != nullptr && hostBytes > 0) {
    KX_FUZZ_CHECK(dst.pExtraData != nullptr && dst.pExtraData != src.pExtraData);
    KX_FUZZ_CHECK(dst.nExtraDataSize == src.nExtraDataSize);
    KX_FUZZ_CHECK(SameBytes(dst.pExtraData, src.pExtraData, static_cast<size_t>(hostBytes)));
  } else {
    KX_FUZZ_CHECK(dst.pExtraData == nullptr && dst.nExtraDataSize == 0);
  }
}

void CheckCopy(const EncodeParams& dst, const EncodeParams& src) {
  KX_FUZZ_CHECK(SameBytes(&dst.video, &src.video, offsetof(EncodeVideoParams, padding)));
  KX_FUZZ_CHECK(BytesAre(&dst.video.padding, sizeof dst.video.padding, kUntouched));
  KX_FUZZ_CHECK(SameBytes(&dst.video.dFrameRate, &src.video.dFrameRate,
                          offsetof(EncodeVideoParams, extra) - offsetof(EncodeVideoParams, dFrameRate)));
  KX_FUZZ_CHECK(SameBytes(&dst.audio, &src.audio, offsetof(EncodeAudioParams, szLanguage)));
  KX_FUZZ_CHECK(BytesAre(dst.audio.szLanguage, sizeof dst.audio.szLanguage, 0));
  KX_FUZZ_CHECK(SameBytes(&dst.subpicture, &src.subpicture, offsetof(EncodeSubpictureParams, szLanguage)));
  KX_FUZZ_CHECK(BytesAre(dst.subpicture.szLanguage, sizeof dst.subpicture.szLanguage, 0));
  KX_FUZZ_CHECK(BytesAre(dst.subpicture.reserved, sizeof dst.subpicture.reserved, kUntouched));
  KX_FUZZ_CHECK(SameBytes(&dst.bNoVideo, &src.bNoVideo, sizeof(EncodeParams) - offsetof(EncodeParams, bNoVideo)));
  for (int i = 0; i < 3; ++i) CheckBlockCopy(Section(dst, i), Section(src, i));
}

// A record of the library's own: padding and reserved bytes marked, then
// initialised as the library does.
std::unique_ptr<EncodeParams> OwnRecord() {
  std::unique_ptr<EncodeParams> p(new EncodeParams);
  std::memset(p.get(), kUntouched, sizeof *p);
  EncodeParamsInit(p.get());
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto byte = [&]() -> uint8_t { return size == 0 ? 0 : (--size, *data++); };
  const uint8_t flags = byte();
  uint8_t modes[3];
  uint32_t sizes[3];
  for (int i = 0; i < 3; ++i) {
    modes[i] = byte();
    sizes[i] = 0;
    for (int b = 0; b < 4; ++b) sizes[i] |= static_cast<uint32_t>(byte()) << (8 * b);  // little-endian
  }
  const uint8_t* pool = data;
  const size_t poolSize = size;

  // The host's record: every byte from the pool, then its three buffers.
  std::unique_ptr<EncodeParams> host(new EncodeParams);
  auto* raw = reinterpret_cast<uint8_t*>(host.get());
  for (size_t i = 0; i < sizeof *host; ++i) raw[i] = poolSize > 0 ? pool[i % poolSize] : 0;
  std::vector<std::unique_ptr<uint8_t[]>> hostBuffers;
  for (int i = 0; i < 3; ++i) {
    // The host's buffer holds what it says it holds; the input bounds it.
    uint32_t bytes = sizes[i];
    if (static_cast<int32_t>(bytes) > 0 && bytes > poolSize) bytes = static_cast<uint32_t>(bytes % (poolSize + 1));
    const size_t bufferBytes = static_cast<int32_t>(bytes) > 0 ? bytes : 0;
    Section(*host, i).nExtraDataSize = bytes;
    Section(*host, i).pExtraData = nullptr;
    if (modes[i] % 3 == 0) continue;
    hostBuffers.emplace_back(new uint8_t[bufferBytes]);
    if (bufferBytes > 0) std::memcpy(hostBuffers.back().get(), pool, bufferBytes);
    Section(*host, i).pExtraData = hostBuffers.back().get();
  }

  std::unique_ptr<EncodeParams> copy = OwnRecord();
  EncodeParamsCopy(copy.get(), *host);
  CheckCopy(*copy, *host);
  if (flags & 1) {  // onto itself: nothing changes, no buffer is freed
    EncodeParamsCopy(copy.get(), *copy);
    CheckCopy(*copy, *host);
  }

  // A second record of the library's that already holds buffers takes a
  // copy of the first: its old buffers go, the new ones are its own.
  std::unique_ptr<EncodeParams> second = OwnRecord();
  EncodeParamsCopy(second.get(), *host);
  EncodeParamsCopy(second.get(), *copy);
  CheckCopy(*second, *copy);

  // One section onto another, as the multi-stream adapter merges streams.
  const int from = ((flags >> 1) & 3) % 3, to = ((flags >> 3) & 3) % 3;
  StreamExtraBlockCopy(&Section(*second, to), Section(*host, from));
  CheckBlockCopy(Section(*second, to), Section(*host, from));

  EncodeParamsRelease(copy.get());
  EncodeParamsRelease(second.get());
  for (const EncodeParams* p : {copy.get(), second.get()}) {
    for (int i = 0; i < 3; ++i) KX_FUZZ_CHECK(Section(*p, i).pExtraData == nullptr && Section(*p, i).nExtraDataSize == 0);
  }
  return 0;
}
