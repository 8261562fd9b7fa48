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
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kxrecords/encode_params.h"
#include "fuzz_check.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;  // what the library must leave in padding

struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
};

StreamExtraBlock* Section(EncodeParams* p, int i) {
  return i == 0 ? &p->video.extra : i == 1 ? &p->audio.extra : &p->subpicture.extra;
}
const StreamExtraBlock& Section(const EncodeParams& p, int i) {
  return i == 0 ? p.video.extra : i == 1 ? p.audio.extra : p.subpicture.extra;
}

bool BytesAre(const void* p, size_t n, uint8_t value) {
  const auto* bytes = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}
bool SameBytes(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

constexpr size_t kPlainExtraBytes = offsetof(StreamExtraBlock, padding0);

// A copy of one section: the plain bytes as the host's, the buffer a copy
// of the host's bytes or absent, the padding as it was.
void CheckBlockCopy(const StreamExtraBlock& dst, const StreamExtraBlock& src) {
  KX_FUZZ_CHECK(SameBytes(&dst, &src, kPlainExtraBytes));
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
  Input in{data, size};
  const uint8_t flags = in.Byte();
  uint8_t modes[3];
  uint32_t sizes[3];
  for (int i = 0; i < 3; ++i) {
    modes[i] = in.Byte();
    sizes[i] = in.U32();
  }
  const uint8_t* pool = in.data;
  const size_t poolSize = in.size;

  // The host's record: every byte from the pool, then its three buffers.
  std::unique_ptr<EncodeParams> host(new EncodeParams);
  auto* raw = reinterpret_cast<uint8_t*>(host.get());
  for (size_t i = 0; i < sizeof *host; ++i) raw[i] = poolSize > 0 ? pool[i % poolSize] : 0;
  std::vector<std::unique_ptr<uint8_t[]>> hostBuffers;
  for (int i = 0; i < 3; ++i) {
    StreamExtraBlock* block = Section(host.get(), i);
    uint32_t bytes = sizes[i];
    const auto asSigned = static_cast<int32_t>(bytes);
    size_t bufferBytes = 0;
    if (asSigned > 0) {
      // The host's buffer holds what it says it holds; the input bounds it.
      if (bytes > poolSize) bytes = static_cast<uint32_t>(bytes % (poolSize + 1));
      bufferBytes = bytes;
    }
    block->nExtraDataSize = bytes;
    if (modes[i] % 3 == 0) {
      block->pExtraData = nullptr;
    } else {
      hostBuffers.emplace_back(new uint8_t[bufferBytes]);
      if (bufferBytes > 0) std::memcpy(hostBuffers.back().get(), pool, bufferBytes);
      block->pExtraData = hostBuffers.back().get();
    }
  }

  std::unique_ptr<EncodeParams> copy = OwnRecord();
  EncodeParamsCopy(copy.get(), *host);
  CheckCopy(*copy, *host);

  if (flags & 1) {
    // Onto itself: nothing changes, no buffer is freed.
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
  StreamExtraBlockCopy(Section(second.get(), to), Section(*host, from));
  CheckBlockCopy(Section(*second, to), Section(*host, from));

  EncodeParamsRelease(copy.get());
  EncodeParamsRelease(second.get());
  for (int i = 0; i < 3; ++i) {
    KX_FUZZ_CHECK(Section(*copy, i).pExtraData == nullptr && Section(*copy, i).nExtraDataSize == 0);
    KX_FUZZ_CHECK(Section(*second, i).pExtraData == nullptr && Section(*second, i).nExtraDataSize == 0);
  }
  return 0;
}
