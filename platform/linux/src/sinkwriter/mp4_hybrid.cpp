#include "mp4_hybrid.h"

#include <map>

namespace kx::av {

namespace {

constexpr uint32_t Tag(const char (&name)[5]) {
  return uint32_t{static_cast<uint8_t>(name[0])} << 24 | uint32_t{static_cast<uint8_t>(name[1])} << 16 |
         uint32_t{static_cast<uint8_t>(name[2])} << 8 | uint32_t{static_cast<uint8_t>(name[3])};
}

uint32_t Be32(const std::string& data, size_t at) {
  const auto* p = reinterpret_cast<const uint8_t*>(data.data()) + at;
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint64_t Be64(const std::string& data, size_t at) { return uint64_t{Be32(data, at)} << 32 | Be32(data, at + 4); }

void PutBe32(std::string* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(value >> shift));
}

void PutBe64(std::string* out, uint64_t value) {
  PutBe32(out, static_cast<uint32_t>(value >> 32));
  PutBe32(out, static_cast<uint32_t>(value));
}

// A box inside a buffer: where it starts, its header's and its whole size.
struct Box {
  uint32_t type = 0;
  size_t offset = 0, header = 0, size = 0;
  size_t payload() const { return offset + header; }
  size_t end() const { return offset + size; }
};

// The boxes one after another in [begin, end); false when one does not fit.
bool Children(const std::string& data, size_t begin, size_t end, std::vector<Box>* boxes) {
  boxes->clear();
  for (size_t at = begin; at < end;) {
    if (end - at < 8) return false;
    Box box{Be32(data, at + 4), at, 8, Be32(data, at)};
    if (box.size == 1) {
      if (end - at < 16) return false;
      const uint64_t large = Be64(data, at + 8);
      if (large > end - at) return false;
      box.size = static_cast<size_t>(large);
      box.header = 16;
    } else if (box.size == 0) {
      box.size = end - at;
    }
    if (box.size < box.header || box.size > end - at) return false;
    boxes->push_back(box);
    at += box.size;
  }
  return true;
}

bool Children(const std::string& data, const Box& parent, std::vector<Box>* boxes) {
  return Children(data, parent.payload(), parent.end(), boxes);
}

const Box* Find(const std::vector<Box>& boxes, uint32_t type) {
  for (const Box& box : boxes)
    if (box.type == type) return &box;
  return nullptr;
}

// A full box's payload after its version and flags, at least `bytes` long.
bool FullBox(const Box* box, size_t bytes, size_t* at) {
  if (!box || box->size - box->header < 4 + bytes) return false;
  *at = box->payload() + 4;
  return true;
}

// One track of the plain moov: its samples' sizes and sample descriptions,
// and where the fragments put them.
struct Track {
  std::vector<uint32_t> sizes, descriptions;
  std::vector<int64_t> offsets;
};

// The id in a track's header (tkhd), among the track's boxes.
bool TrackId(const std::string& moov, const std::vector<Box>& trakBoxes, uint32_t* id) {
  size_t at = 0;
  if (!FullBox(Find(trakBoxes, Tag("tkhd")), 20, &at)) return false;
  *id = Be32(moov, at + (moov[at - 4] == 1 ? 16 : 8));  // after version 1's 64-bit times
  return true;
}

// The track's id (tkhd) and samples (stsz, stsc, stco or co64).
bool ReadTrack(const std::string& moov, const Box& trak, uint64_t maxSamples, uint32_t* id, Track* track) {
  std::vector<Box> boxes;
  size_t at = 0;
  if (!Children(moov, trak, &boxes) || !TrackId(moov, boxes, id)) return false;
  for (const uint32_t type : {Tag("mdia"), Tag("minf"), Tag("stbl")}) {
    const Box* inner = Find(boxes, type);
    if (!inner || !Children(moov, *inner, &boxes)) return false;
  }
  const Box* stsz = Find(boxes, Tag("stsz"));
  const Box* stsc = Find(boxes, Tag("stsc"));
  const Box* stco = Find(boxes, Tag("stco"));
  const bool large = !stco;
  if (large) stco = Find(boxes, Tag("co64"));
  if (!FullBox(stsz, 8, &at)) return false;
  const uint32_t uniform = Be32(moov, at);
  const uint64_t count = Be32(moov, at + 4);
  if (uniform ? count > maxSamples / uniform : count > (stsz->end() - at - 8) / 4) return false;
  track->sizes.resize(count, uniform);
  for (uint64_t i = 0; uniform == 0 && i < count; ++i) track->sizes[i] = Be32(moov, at + 8 + 4 * i);
  // Each chunk's sample count and description, spread over its samples.
  size_t chunkAt = 0, entryAt = 0;
  if (!FullBox(stco, 4, &chunkAt) || !FullBox(stsc, 4, &entryAt)) return false;
  const uint64_t chunks = Be32(moov, chunkAt), entries = Be32(moov, entryAt);
  if (chunks > (stco->end() - chunkAt - 4) / (large ? 8 : 4) || entries > (stsc->end() - entryAt - 4) / 12) return false;
  track->descriptions.reserve(count);
  for (uint64_t entry = 0; entry < entries; ++entry) {
    const size_t e = entryAt + 4 + 12 * entry;
    const uint64_t first = Be32(moov, e), perChunk = Be32(moov, e + 4), description = Be32(moov, e + 8);
    const uint64_t next = entry + 1 < entries ? Be32(moov, e + 12) : chunks + 1;
    if (first == 0 || next < first || next > chunks + 1) return false;
    for (uint64_t chunk = first; chunk < next; ++chunk) {
      if (perChunk > count - track->descriptions.size()) return false;
      track->descriptions.insert(track->descriptions.end(), perChunk, static_cast<uint32_t>(description));
    }
  }
  return track->descriptions.size() == count;
}

// Where each sample of each fragment lies, from the moof's track fragments
// (tfhd, trun). Sizes come from the plain moov; a trun that gives them must
// agree.
bool ReadFragment(const std::string& moof, int64_t moofOffset, int64_t fileSize, std::map<uint32_t, Track>* tracks,
                  std::string* why) {
  std::vector<Box> trafs, boxes;
  if (!Children(moof, 8, moof.size(), &trafs)) return false;
  int64_t previousEnd = moofOffset;
  for (const Box& traf : trafs) {
    if (traf.type != Tag("traf")) continue;
    size_t at = 0;
    if (!Children(moof, traf, &boxes) || !FullBox(Find(boxes, Tag("tfhd")), 4, &at)) return false;
    const uint32_t flags = Be32(moof, at - 4) & 0xFFFFFF;
    const auto found = tracks->find(Be32(moof, at));
    if (found == tracks->end()) return *why = "a fragment of an unknown track", false;
    Track& track = found->second;
    int64_t base = flags & 0x20000 ? moofOffset : previousEnd;
    size_t field = at + 4;
    const Box& tfhd = *Find(boxes, Tag("tfhd"));
    auto take = [&](size_t bytes) { return tfhd.end() - field >= bytes ? (field += bytes, true) : false; };
    if (flags & 0x1) {
      if (!take(8) || Be64(moof, field - 8) > static_cast<uint64_t>(fileSize)) return false;
      base = static_cast<int64_t>(Be64(moof, field - 8));
    }
    if ((flags & 0x2 && !take(4)) || (flags & 0x8 && !take(4))) return false;
    int64_t defaultSize = -1;
    if (flags & 0x10) {
      if (!take(4)) return false;
      defaultSize = Be32(moof, field - 4);
    }
    int64_t position = base;
    for (const Box& trun : boxes) {
      if (trun.type != Tag("trun")) continue;
      if (!FullBox(&trun, 4, &at)) return false;
      const uint32_t runFlags = Be32(moof, at - 4) & 0xFFFFFF;
      const uint64_t count = Be32(moof, at);
      at += 4;
      if (runFlags & 0x1) {
        if (trun.end() - at < 4) return false;
        position = base + static_cast<int32_t>(Be32(moof, at));
        at += 4;
      }
      if (runFlags & 0x4) at += 4;
      const size_t entry = 4 * ((runFlags >> 8 & 1) + (runFlags >> 9 & 1) + (runFlags >> 10 & 1) + (runFlags >> 11 & 1));
      if (at > trun.end() || count > track.sizes.size() - track.offsets.size() ||
          (entry && count > (trun.end() - at) / entry))
        return *why = "the fragments hold other samples than the index", false;
      for (uint64_t i = 0; i < count; ++i, at += entry) {
        const int64_t size = track.sizes[track.offsets.size()];
        const int64_t given = runFlags & 0x200 ? Be32(moof, at + (runFlags & 0x100 ? 4 : 0)) : defaultSize;
        if ((given >= 0 && given != size) || position < 0 || position > fileSize - size)
          return *why = "a fragment's sample is not where the index has it", false;
        track.offsets.push_back(position);
        position += size;
      }
    }
    previousEnd = position;
  }
  return true;
}

void PutHeader(std::string* out, size_t size, uint32_t type) {
  PutBe32(out, static_cast<uint32_t>(size));
  PutBe32(out, type);
}

// The chunks of a track as the fragments laid its samples out: a chunk is
// a run of samples one after another in the file with one description.
void PutChunkBoxes(const Track& track, std::string* stsc, std::string* chunkOffsets) {
  std::vector<int64_t> starts;
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // samples in the chunk, description
  for (size_t i = 0; i < track.offsets.size(); ++i) {
    if (i == 0 || track.offsets[i] != track.offsets[i - 1] + track.sizes[i - 1] ||
        track.descriptions[i] != track.descriptions[i - 1]) {
      starts.push_back(track.offsets[i]);
      runs.emplace_back(0, track.descriptions[i]);
    }
    ++runs.back().first;
  }
  std::string entries;
  uint32_t count = 0;
  for (size_t chunk = 0; chunk < runs.size(); ++chunk) {
    if (chunk > 0 && runs[chunk] == runs[chunk - 1]) continue;
    PutBe32(&entries, static_cast<uint32_t>(chunk + 1));
    PutBe32(&entries, runs[chunk].first);
    PutBe32(&entries, runs[chunk].second);
    ++count;
  }
  PutHeader(stsc, 16 + entries.size(), Tag("stsc"));
  PutBe32(stsc, 0);
  PutBe32(stsc, count);
  *stsc += entries;
  bool large = false;
  for (int64_t start : starts) large = large || start > int64_t{UINT32_MAX};
  PutHeader(chunkOffsets, 16 + starts.size() * (large ? 8 : 4), large ? Tag("co64") : Tag("stco"));
  PutBe32(chunkOffsets, 0);
  PutBe32(chunkOffsets, static_cast<uint32_t>(starts.size()));
  for (int64_t start : starts) large ? PutBe64(chunkOffsets, static_cast<uint64_t>(start))
                                     : PutBe32(chunkOffsets, static_cast<uint32_t>(start));
}

// The plain moov with every track's chunk boxes replaced; box sizes above
// them follow.
bool Rewrite(const std::string& moov, const Box& box, const std::map<uint32_t, Track>& tracks, const Track* track,
             std::string* out) {
  const uint32_t type = box.type;
  if (type != Tag("moov") && type != Tag("trak") && type != Tag("mdia") && type != Tag("minf") &&
      type != Tag("stbl")) {
    out->append(moov, box.offset, box.size);
    return true;
  }
  std::vector<Box> boxes;
  if (!Children(moov, box, &boxes) || (type == Tag("stbl") && !track)) return false;
  if (type == Tag("trak")) {
    uint32_t id = 0;
    if (!TrackId(moov, boxes, &id) || !tracks.count(id)) return false;
    track = &tracks.at(id);
  }
  std::string stsc, chunkOffsets;
  if (type == Tag("stbl")) PutChunkBoxes(*track, &stsc, &chunkOffsets);
  const size_t start = out->size();
  PutHeader(out, 0, type);
  for (const Box& child : boxes) {
    if (type == Tag("stbl") && child.type == Tag("stsc")) {
      *out += stsc;
    } else if (type == Tag("stbl") && (child.type == Tag("stco") || child.type == Tag("co64"))) {
      *out += chunkOffsets;
    } else if (!Rewrite(moov, child, tracks, track, out)) {
      return false;
    }
  }
  const size_t size = out->size() - start;
  if (size > UINT32_MAX) return false;
  std::string header;
  PutHeader(&header, size, type);
  out->replace(start, 8, header);
  return true;
}

}  // namespace

bool PlanPlainMp4(const ReadAt& read, int64_t fileSize, const std::string& plainFtyp, const std::string& plainMoov,
                  Mp4FinishPlan* plan, std::string* why) {
  *plan = Mp4FinishPlan();
  *why = "the plain index is not one moov";
  std::vector<Box> top, traks;
  if (!Children(plainMoov, 0, plainMoov.size(), &top) || top.size() != 1 || top[0].type != Tag("moov") ||
      !Children(plainMoov, top[0], &traks))
    return false;
  std::map<uint32_t, Track> tracks;
  for (const Box& trak : traks) {
    uint32_t id = 0;
    Track track;
    if (trak.type != Tag("trak")) continue;
    if (!ReadTrack(plainMoov, trak, static_cast<uint64_t>(fileSize), &id, &track) || tracks.count(id))
      return *why = "a track of the plain index cannot be read", false;
    tracks.emplace(id, std::move(track));
  }

  // The file's top-level boxes: ftyp, the initial moov, then fragments.
  *why = "the fragmented file is not laid out as written";
  int64_t initialMoovEnd = 0;
  std::string header(16, '\0'), moof;
  for (int64_t at = 0, index = 0; at < fileSize; ++index) {
    if (fileSize - at < 8 || !read(at, header.data(), 8)) return false;
    int64_t size = Be32(header, 0);
    const uint32_t type = Be32(header, 4);
    if (size == 1) {
      if (fileSize - at < 16 || !read(at + 8, header.data() + 8, 8)) return false;
      size = static_cast<int64_t>(Be64(header, 8) & INT64_MAX);
    } else if (size == 0) {
      size = fileSize - at;
    }
    if (size < 8 || size > fileSize - at) return false;
    if ((index == 0 && type != Tag("ftyp")) || (index == 1 && type != Tag("moov"))) return false;
    if (index == 1) initialMoovEnd = at + size;
    if (type == Tag("moof")) {
      constexpr int64_t kMaxFragmentIndex = 64 << 20;
      if (size > kMaxFragmentIndex) return false;
      moof.resize(static_cast<size_t>(size));
      if (!read(at, moof.data(), moof.size()) || !ReadFragment(moof, at, fileSize, &tracks, why)) return false;
    }
    at += size;
  }
  if (initialMoovEnd == 0) return false;
  for (const auto& [id, track] : tracks)
    if (track.offsets.size() != track.sizes.size()) return *why = "the fragments hold other samples than the index", false;

  *why = "the plain index cannot be rewritten";
  if (!Rewrite(plainMoov, top[0], tracks, nullptr, &plan->moov)) return false;
  // One write at the front hides the initial moov and every fragment's
  // boxes: the plain file type, then one mdat over the rest of the
  // fragmented file (with a 64-bit size when it needs one).
  std::vector<Box> ftyp;
  const auto ftypSize = static_cast<int64_t>(plainFtyp.size());
  const int64_t mdatSize = fileSize - ftypSize;
  const bool large = mdatSize > int64_t{UINT32_MAX};
  if (!Children(plainFtyp, 0, plainFtyp.size(), &ftyp) || ftyp.size() != 1 || ftyp[0].type != Tag("ftyp") ||
      ftypSize + (large ? 16 : 8) > initialMoovEnd)
    return *why = "the plain file type does not fit", false;
  Mp4Patch front{0, plainFtyp};
  PutBe32(&front.bytes, large ? 1 : static_cast<uint32_t>(mdatSize));
  PutBe32(&front.bytes, Tag("mdat"));
  if (large) PutBe64(&front.bytes, static_cast<uint64_t>(mdatSize));
  plan->patches.push_back(std::move(front));
  why->clear();
  return true;
}

}  // namespace kx::av
