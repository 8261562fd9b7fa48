// InjectAsfXmp: puts an XMP packet into a finished ASF or MP4 file.
//
// The new file is planned as a list of pieces (ranges of the old file, patched
// bytes, the packet). When the plan keeps the media where it is and changes
// only a few fields and the end of the file, the file is edited in place: the
// new end is written first, then the fields, so a crash at any moment leaves
// every media byte where its tables point. Otherwise the new file is written
// beside the old one and renamed over it.
#include <kx_traxel/zq_log.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Guid = uint8_t[16];

// ASF object GUIDs in the order ASF stores them (first three fields
// little-endian).
constexpr Guid kAsfHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfDataObject = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kAsfFilePropertiesObject = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                           0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// BE7ACFCB-97A9-42E8-9C71-999491E3AFAC, ASF order.
constexpr Guid kAsfXmpObject = {0xCB, 0xCF, 0x7A, 0xBE, 0xA9, 0x97, 0xE8, 0x42,
                                0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};
// The same UUID in plain byte order, as MP4 'uuid' boxes carry it.
constexpr Guid kMp4XmpUuid = {0xBE, 0x7A, 0xCF, 0xCB, 0x97, 0xA9, 0x42, 0xE8,
                              0x9C, 0x71, 0x99, 0x94, 0x91, 0xE3, 0xAF, 0xAC};

constexpr uint64_t kAsfObjectHeaderSize = 24;  // GUID and 64-bit size
constexpr uint64_t kAsfHeaderObjectSize = 30;  // + object count and two reserved bytes
constexpr uint64_t kFilePropertiesFileSizeOffset = 40;

// One piece of the new file: a range of the old file, or bytes of its own.
struct Piece {
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string bytes;
  const char* external = nullptr;  // the packet, not copied
  bool fromFile = true;
};

class Plan {
 public:
  void CopyRange(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    Piece piece;
    piece.offset = offset;
    piece.length = length;
    pieces_.push_back(piece);
    size_ += length;
  }
  void AddBytes(std::string bytes) {
    Piece piece;
    piece.fromFile = false;
    piece.length = bytes.size();
    piece.bytes = std::move(bytes);
    size_ += piece.length;
    pieces_.push_back(std::move(piece));
  }
  void AddExternal(const char* data, uint64_t length) {
    Piece piece;
    piece.fromFile = false;
    piece.external = data;
    piece.length = length;
    size_ += length;
    pieces_.push_back(piece);
  }
  uint64_t size() const { return size_; }
  std::vector<Piece>& pieces() { return pieces_; }

 private:
  std::vector<Piece> pieces_;
  uint64_t size_ = 0;
};

class InputFile {
 public:
  explicit InputFile(const char* path) : stream_(path, std::ios::binary) {
    if (!stream_) return;
    stream_.seekg(0, std::ios::end);
    const std::streamoff end = stream_.tellg();
    if (end < 0) return;
    size_ = static_cast<uint64_t>(end);
    ok_ = true;
  }
  bool ok() const { return ok_; }
  uint64_t size() const { return size_; }

  bool ReadAt(uint64_t offset, void* out, uint64_t length) {
    if (!ok_ || offset > size_ || length > size_ - offset) return false;
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(offset));
    stream_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
    return static_cast<uint64_t>(stream_.gcount()) == length;
  }

 private:
  std::ifstream stream_;
  uint64_t size_ = 0;
  bool ok_ = false;
};

uint64_t LittleEndian64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t BigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
uint64_t BigEndian64(const uint8_t* p) {
  return (static_cast<uint64_t>(BigEndian32(p)) << 32) | BigEndian32(p + 4);
}
std::string LittleEndianBytes(uint64_t v) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
std::string BigEndianBytes(uint64_t v, int count) {
  std::string out(static_cast<size_t>(count), '\0');
  for (int i = 0; i < count; ++i) out[i] = static_cast<char>((v >> (8 * (count - 1 - i))) & 0xFF);
  return out;
}
bool SameGuid(const uint8_t* a, const Guid& b) { return std::memcmp(a, b, 16) == 0; }

enum class Layout { kNotMine, kDamaged, kPlanned };

// ASF: header object first; the XMP object goes right after the data object.
Layout PlanAsf(InputFile& in, const char* data, uint64_t count, Plan& plan) {
  uint8_t head[kAsfHeaderObjectSize];
  if (!in.ReadAt(0, head, sizeof head) || !SameGuid(head, kAsfHeaderObject)) return Layout::kNotMine;
  const uint64_t fileSize = in.size();
  const uint64_t headerSize = LittleEndian64(head + 16);
  if (headerSize < kAsfHeaderObjectSize || headerSize > fileSize) return Layout::kDamaged;

  // The File Properties Object, inside the header.
  uint64_t fileProperties = 0;
  for (uint64_t pos = kAsfHeaderObjectSize; pos + kAsfObjectHeaderSize <= headerSize;) {
    uint8_t object[kAsfObjectHeaderSize];
    if (!in.ReadAt(pos, object, sizeof object)) return Layout::kDamaged;
    const uint64_t size = LittleEndian64(object + 16);
    if (size < kAsfObjectHeaderSize || size > headerSize - pos) return Layout::kDamaged;
    if (fileProperties == 0 && SameGuid(object, kAsfFilePropertiesObject) &&
        size >= kFilePropertiesFileSizeOffset + 8) {
      fileProperties = pos;
    }
    pos += size;
  }
  if (fileProperties == 0) return Layout::kDamaged;
  if (count > UINT64_MAX - kAsfObjectHeaderSize) return Layout::kDamaged;

  // The top-level objects after the header.
  const uint64_t sizeFieldAt = fileProperties + kFilePropertiesFileSizeOffset;
  plan.CopyRange(0, sizeFieldAt);
  plan.AddBytes(std::string(8, '\0'));  // the new file size, filled in below
  const size_t sizePiece = plan.pieces().size() - 1;
  plan.CopyRange(sizeFieldAt + 8, headerSize - sizeFieldAt - 8);

  bool placed = false;
  for (uint64_t pos = headerSize; pos < fileSize;) {
    uint8_t object[kAsfObjectHeaderSize];
    if (fileSize - pos < kAsfObjectHeaderSize || !in.ReadAt(pos, object, sizeof object)) return Layout::kDamaged;
    const uint64_t size = LittleEndian64(object + 16);
    if (size < kAsfObjectHeaderSize || size > fileSize - pos) return Layout::kDamaged;
    if (!SameGuid(object, kAsfXmpObject)) plan.CopyRange(pos, size);  // an old packet is dropped
    if (!placed && SameGuid(object, kAsfDataObject)) {
      std::string header(reinterpret_cast<const char*>(kAsfXmpObject), 16);
      header += LittleEndianBytes(kAsfObjectHeaderSize + count);
      plan.AddBytes(std::move(header));
      plan.AddExternal(data, count);
      placed = true;
    }
    pos += size;
  }
  if (!placed) return Layout::kDamaged;  // no data object
  plan.pieces()[sizePiece].bytes = LittleEndianBytes(plan.size());
  return Layout::kPlanned;
}

bool IsMp4LeadingBox(const uint8_t* type) {
  static const char* const kTypes[] = {"ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "pdin"};
  for (const char* t : kTypes) {
    if (std::memcmp(type, t, 4) == 0) return true;
  }
  return false;
}

// MP4: the XMP box is appended after the last box, so no media offset moves.
Layout PlanMp4(InputFile& in, const char* data, uint64_t count, Plan& plan) {
  const uint64_t fileSize = in.size();
  uint8_t first[8];
  if (!in.ReadAt(0, first, sizeof first) || !IsMp4LeadingBox(first + 4)) return Layout::kNotMine;

  struct Box {
    uint64_t offset, size;
    bool xmp, toEndOfFile;
  };
  std::vector<Box> boxes;
  for (uint64_t pos = 0; pos < fileSize;) {
    uint8_t header[32];
    if (fileSize - pos < 8 || !in.ReadAt(pos, header, 8)) return Layout::kDamaged;
    uint64_t size = BigEndian32(header);
    uint64_t headerLength = 8;
    bool toEnd = false;
    if (size == 1) {
      if (fileSize - pos < 16 || !in.ReadAt(pos + 8, header + 8, 8)) return Layout::kDamaged;
      size = BigEndian64(header + 8);
      headerLength = 16;
    } else if (size == 0) {
      size = fileSize - pos;
      toEnd = true;
    }
    if (size < headerLength || size > fileSize - pos) return Layout::kDamaged;
    bool xmp = false;
    if (std::memcmp(header + 4, "uuid", 4) == 0 && size >= headerLength + 16) {
      uint8_t uuid[16];
      if (!in.ReadAt(pos + headerLength, uuid, sizeof uuid)) return Layout::kDamaged;
      xmp = SameGuid(uuid, kMp4XmpUuid);
    }
    boxes.push_back({pos, size, xmp, toEnd});
    pos += size;
  }

  // Old XMP boxes at the end are dropped; one with boxes after it becomes a
  // 'free' box of the same size.
  size_t keep = boxes.size();
  while (keep > 0 && boxes[keep - 1].xmp) --keep;
  for (size_t i = 0; i < keep; ++i) {
    const Box& box = boxes[i];
    if (box.toEndOfFile) {
      // It is the last box: give it its real size so that ours can follow.
      if (box.size > UINT32_MAX) return Layout::kDamaged;
      plan.AddBytes(BigEndianBytes(box.size, 4));
      plan.CopyRange(box.offset + 4, box.size - 4);
    } else if (box.xmp) {
      plan.CopyRange(box.offset, 4);
      plan.AddBytes("free");
      plan.CopyRange(box.offset + 8, box.size - 8);
    } else {
      plan.CopyRange(box.offset, box.size);
    }
  }

  const uint64_t compactSize = 8 + 16 + count;
  std::string header;
  if (count <= UINT32_MAX - 24) {
    header = BigEndianBytes(compactSize, 4) + "uuid";
  } else {
    if (count > UINT64_MAX - 32) return Layout::kDamaged;
    header = BigEndianBytes(1, 4) + "uuid" + BigEndianBytes(16 + 16 + count, 8);
  }
  header.append(reinterpret_cast<const char*>(kMp4XmpUuid), 16);
  plan.AddBytes(std::move(header));
  plan.AddExternal(data, count);
  return Layout::kPlanned;
}

// The new file, created under a name that must be free: whatever is there
// already (a link planted at the name, anyone's file) makes the create
// fail and is neither followed nor touched.
class NewFile {
 public:
  explicit NewFile(const std::string& path) {
#if defined(_WIN32)
    handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    created_ = ok_ = handle_ != INVALID_HANDLE_VALUE;
#else
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    created_ = ok_ = fd_ >= 0;
#endif
  }
  ~NewFile() { Close(); }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Whether the file was made here.
  bool created() const { return created_; }
  bool Write(const char* bytes, uint64_t length) {
    while (ok_ && length > 0) {
      const uint32_t chunk = length < (1u << 30) ? static_cast<uint32_t>(length) : (1u << 30);
#if defined(_WIN32)
      DWORD written = 0;
      ok_ = WriteFile(handle_, bytes, chunk, &written, nullptr) != 0 && written > 0;
      const uint64_t done = written;
#else
      const ssize_t written = write(fd_, bytes, chunk);
      if (written < 0 && errno == EINTR) continue;
      ok_ = written > 0;
      const uint64_t done = written > 0 ? static_cast<uint64_t>(written) : 0;
#endif
      length -= done, bytes += done;
    }
    return ok_;
  }
  bool Close() {
#if defined(_WIN32)
    if (handle_ != INVALID_HANDLE_VALUE) ok_ = CloseHandle(handle_) != 0 && ok_;
    handle_ = INVALID_HANDLE_VALUE;
#else
    if (fd_ >= 0) ok_ = close(fd_) == 0 && ok_;
    fd_ = -1;
#endif
    return ok_;
  }

 private:
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  bool ok_ = false;
  bool created_ = false;
};

// Writes the plan to `tempPath`; `*created` says whether that file was made
// here (and so is this call's to remove).
bool WritePlan(InputFile& in, Plan& plan, const std::string& tempPath, bool* created) {
  NewFile out(tempPath);
  *created = out.created();
  if (!*created) return false;
  std::vector<char> buffer(1 << 20);
  for (const Piece& piece : plan.pieces()) {
    if (!piece.fromFile) {
      const char* bytes = piece.external != nullptr ? piece.external : piece.bytes.data();
      if (!out.Write(bytes, piece.length)) return false;
    } else {
      for (uint64_t done = 0; done < piece.length;) {
        const uint64_t chunk = piece.length - done < buffer.size() ? piece.length - done : buffer.size();
        if (!in.ReadAt(piece.offset + done, buffer.data(), chunk) || !out.Write(buffer.data(), chunk)) return false;
        done += chunk;
      }
    }
  }
  return out.Close();
}

bool ReplaceFile(const std::string& tempPath, const char* path) {
#if defined(_WIN32)
  return MoveFileExA(tempPath.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  // The new file keeps the old one's permission bits.
  struct stat original;
  if (stat(path, &original) == 0) chmod(tempPath.c_str(), original.st_mode & 07777);
  return std::rename(tempPath.c_str(), path) == 0;
#endif
}

// At most this much of the old file is moved when editing in place (an ASF
// index after the data object); more than this is copied to a new file.
constexpr uint64_t kMaxMovedBytes = uint64_t{4} << 20;

enum class InPlace { kDone, kDoesNotFit, kFailed };

// The plan as edits of the old file: pieces that stay where they are, pieces
// of new bytes over old bytes of the same length, then the new end of the
// file from the first piece that moves.
InPlace EditInPlace(InputFile& in, Plan& plan, const char* path) {
  std::vector<Piece>& pieces = plan.pieces();
  size_t tailFrom = 0;  // the first piece after the last one that stays
  uint64_t position = 0, tailAt = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    position += pieces[i].length;
    if (pieces[i].fromFile && pieces[i].offset + pieces[i].length == position) tailFrom = i + 1, tailAt = position;
  }
  std::string tail;
  uint64_t moved = 0;
  position = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    if (i < tailFrom) {
      if (piece.fromFile && piece.offset != position) return InPlace::kDoesNotFit;
      position += piece.length;
      continue;
    }
    if (piece.fromFile && (moved += piece.length) > kMaxMovedBytes) return InPlace::kDoesNotFit;
    const size_t at = tail.size();
    tail.resize(at + piece.length);
    if (!piece.fromFile) {
      std::memcpy(tail.data() + at, piece.external != nullptr ? piece.external : piece.bytes.data(), piece.length);
    } else if (!in.ReadAt(piece.offset, tail.data() + at, piece.length)) {
      return InPlace::kFailed;
    }
  }
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!out) return InPlace::kDoesNotFit;  // not writable in place: a new file may still be
  out.seekp(static_cast<std::streamoff>(tailAt));
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  if (!out.flush()) return InPlace::kFailed;
  position = 0;
  for (size_t i = 0; i < tailFrom; ++i) {
    if (!pieces[i].fromFile) {
      out.seekp(static_cast<std::streamoff>(position));
      const char* bytes = pieces[i].external != nullptr ? pieces[i].external : pieces[i].bytes.data();
      out.write(bytes, static_cast<std::streamsize>(pieces[i].length));
    }
    position += pieces[i].length;
  }
  out.close();
  if (out.fail()) return InPlace::kFailed;
  if (plan.size() < in.size()) {
    std::error_code error;
    std::filesystem::resize_file(path, plan.size(), error);
    if (error) return InPlace::kFailed;
  }
  return InPlace::kDone;
}

}  // namespace

ZQ_LOG_API bool InjectAsfXmp(const char* path, const char* data, uint64_t count, int options) {
  if (data == nullptr || count == 0) return true;  // nothing to add
  if (path == nullptr || path[0] == '\0') return false;
  try {
    std::string tempPath = std::string(path) + ".xmptmp";
    bool written = false, created = false;
    {
      InputFile in(path);
      if (!in.ok()) return false;
      Plan plan;
      Layout layout = PlanAsf(in, data, count, plan);
      if (layout == Layout::kNotMine) {
        plan = Plan();
        layout = PlanMp4(in, data, count, plan);
      }
      if (layout != Layout::kPlanned) return false;
      const InPlace edited = EditInPlace(in, plan, path);
      if (edited != InPlace::kDoesNotFit) return edited == InPlace::kDone;
      written = WritePlan(in, plan, tempPath, &created);
    }
    if (written && ReplaceFile(tempPath, path)) return true;
    if (created) std::remove(tempPath.c_str());
    return false;
  } catch (...) {
    return false;
  }
}
