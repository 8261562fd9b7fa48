// The MP4 finish over a fragmented file and a plain index: two bytes give
// the index's length, the index follows, the rest is the file. Whatever the
// bytes, the plan stays inside them; a plan made appends one moov and only
// rewrites box headers inside the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "sinkwriter/mp4_hybrid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t indexSize = std::min<size_t>(size - 2, size_t{data[0]} << 8 | data[1]);
  const std::string index(reinterpret_cast<const char*>(data + 2), indexSize);
  const std::string file(reinterpret_cast<const char*>(data + 2 + indexSize), size - 2 - indexSize);
  const std::string ftyp("\0\0\0\x10" "ftypisom\0\0\0\0", 16);
  const auto read = [&file](int64_t offset, void* out, size_t bytes) {
    if (offset < 0 || static_cast<uint64_t>(offset) > file.size() || bytes > file.size() - offset) return false;
    std::memcpy(out, file.data() + offset, bytes);
    return true;
  };
  kx::av::Mp4FinishPlan plan;
  std::string why;
  if (!kx::av::PlanPlainMp4(read, static_cast<int64_t>(file.size()), ftyp, index, &plan, &why)) {
    KX_FUZZ_CHECK(!why.empty());
    return 0;
  }
  KX_FUZZ_CHECK(plan.moov.size() >= 8 && plan.moov.compare(4, 4, "moov") == 0);
  for (const kx::av::Mp4Patch& patch : plan.patches)
    KX_FUZZ_CHECK(patch.offset >= 0 && patch.offset + patch.bytes.size() <= file.size());
  return 0;
}
