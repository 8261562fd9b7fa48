// The MP4 file that survives its writer.
//
// While it is written the file is fragmented (ftyp, an initial moov without
// samples, then moof + mdat pairs), so a file cut at any byte plays up to its
// last complete fragment. Beside it, a second muxer that writes no media
// builds the plain (non-fragmented) moov for the same packets. When the file
// is finished, PlanPlainMp4 turns that moov into one that points at the
// samples where the fragments put them; the muxer appends it, then one write
// at the front turns the file type into the plain layout's and hides the
// initial moov and every fragment's boxes inside one mdat. The finished file
// is a plain MP4 (ftyp, mdat, moov: no moof, no mvex) with the samples,
// times, edit lists and composition offsets of the plain layout, and
// nothing was copied.
//
// Each step leaves a playable file: until the front is rewritten, readers
// take the initial moov and the fragments, and skip the appended moov as a
// duplicate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kx::av {

// Reads `size` bytes at `offset` of the file being finished; false when
// they are not all there.
using ReadAt = std::function<bool(int64_t offset, void* data, size_t size)>;

struct Mp4Patch {
  int64_t offset = 0;
  std::string bytes;
};

struct Mp4FinishPlan {
  std::string moov;               // appended at the end of the file
  std::vector<Mp4Patch> patches;  // applied, in order, once the moov is written
};

// Plans the finish of the fragmented file of `fileSize` bytes read through
// `read`, from the plain muxer's `plainFtyp` and `plainMoov` for the same
// packets. False, with the reason, when the two do not describe the same
// samples or the file is not laid out as written: the fragmented file is
// then left as it is (it plays).
bool PlanPlainMp4(const ReadAt& read, int64_t fileSize, const std::string& plainFtyp, const std::string& plainMoov,
                  Mp4FinishPlan* plan, std::string* why);

}  // namespace kx::av
