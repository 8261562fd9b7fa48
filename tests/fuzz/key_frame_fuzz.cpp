// The ASF media sink's key-frame readers over packet bytes a host hands in:
// the first byte picks the rule, the next four are a WMV3 sequence header,
// the rest is the packet. Every reader stays inside the packet, answers the
// same twice, and a rule that does not look at the bytes ignores them.
#include <cstddef>
#include <cstdint>

#include "asf/asf_key_frames.h"
#include "fuzz_check.h"

using kx::asf::KeyFrameLayout;
using kx::asf::KeyFrameRule;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  KeyFrameLayout layout;
  layout.rule = static_cast<KeyFrameRule>(data[0] % (static_cast<int>(KeyFrameRule::kNever) + 1));
  const size_t header = size - 1 < 4 ? size - 1 : 4;
  kx::asf::ReadWmv3SequenceHeader(data + 1, header, &layout);
  const uint8_t* packet = data + 1 + header;
  const size_t bytes = size - 1 - header;
  const bool key = kx::asf::IsKeyFrame(layout, packet, bytes);
  KX_FUZZ_CHECK(key == kx::asf::IsKeyFrame(layout, packet, bytes));
  if (layout.rule == KeyFrameRule::kAlways || layout.rule == KeyFrameRule::kIndependent) KX_FUZZ_CHECK(key);
  if (layout.rule == KeyFrameRule::kNever) KX_FUZZ_CHECK(!key);
  // A packet cut anywhere is read as far as it goes, never further.
  for (size_t cut = 0; cut < bytes && cut < 8; ++cut) (void)kx::asf::IsKeyFrame(layout, packet, cut);
  return 0;
}
