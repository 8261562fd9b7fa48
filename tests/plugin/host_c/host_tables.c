/* A host compiled on its own, in plain C, with none of the plug-in's
 * headers: it loads the installed kx_Traxel.so by path, looks the three
 * discovery exports up by name and checks every row and string of their
 * tables by byte offset.
 *
 * Usage: host_tables <path of kx_Traxel.so>
 * Exit status 0 when every check holds; each failed check prints one line. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef const void* (*TableFn)(void);

static int g_failures = 0;

static void Fail(const char* what, const char* detail) {
  ++g_failures;
  printf("FAIL: %s: %s\n", what, detail);
}

static uint32_t U32(const uint8_t* p, size_t offset) {
  uint32_t v;
  memcpy(&v, p + offset, sizeof v);
  return v;
}

static const uint8_t* Ptr(const uint8_t* p, size_t offset) {
  const uint8_t* v;
  memcpy(&v, p + offset, sizeof v);
  return v;
}

static uint32_t FourCC(const char* s) {
  return (uint32_t)(uint8_t)s[0] | (uint32_t)(uint8_t)s[1] << 8 | (uint32_t)(uint8_t)s[2] << 16 |
         (uint32_t)(uint8_t)s[3] << 24;
}

static int AllZero(const uint8_t* p, size_t count) {
  size_t i;
  for (i = 0; i < count; ++i) {
    if (p[i] != 0) return 0;
  }
  return 1;
}

/* A fixed wide field of `units` 2-byte code units holds `text`, then zeros. */
static void CheckWide(const char* what, const uint8_t* p, size_t offset, size_t units, const char* text) {
  size_t length = strlen(text);
  size_t i;
  if (length >= units) {
    Fail(what, "text longer than its field");
    return;
  }
  for (i = 0; i < units; ++i) {
    uint16_t unit;
    uint16_t want = i < length ? (uint16_t)(uint8_t)text[i] : 0;
    memcpy(&unit, p + offset + 2 * i, 2);
    if (unit != want) {
      char detail[200];
      snprintf(detail, sizeof detail, "code unit %u is 0x%04x, want 0x%04x (\"%s\")", (unsigned)i, unit, want, text);
      Fail(what, detail);
      return;
    }
  }
}

static void CheckU32(const char* what, uint32_t actual, uint32_t expected) {
  if (actual != expected) {
    char detail[100];
    snprintf(detail, sizeof detail, "0x%08x, want 0x%08x", actual, expected);
    Fail(what, detail);
  }
}

/* A codec list: `count` entries of (fourcc, enabled), then an all-zero entry. */
static void CheckCodecList(const char* what, const uint8_t* list, const char* const* fourccs, size_t count,
                           uint32_t enabled) {
  size_t i;
  if (list == NULL) {
    if (count != 0) Fail(what, "list missing");
    return;
  }
  if (count == 0) {
    Fail(what, "list present where none belongs");
    return;
  }
  for (i = 0; i < count; ++i) {
    CheckU32(what, U32(list, 8 * i), FourCC(fourccs[i]));
    CheckU32(what, U32(list, 8 * i + 4), enabled);
  }
  if (!AllZero(list + 8 * count, 8)) Fail(what, "no zero entry after the last codec");
}

/* Counts rows up to the first zero fourcc and checks the terminator row. */
static size_t CountRows(const char* what, const uint8_t* table, size_t rowBytes) {
  size_t rows = 0;
  while (U32(table + rows * rowBytes, 0) != 0 && rows < 64) ++rows;
  if (!AllZero(table + rows * rowBytes, rowBytes)) Fail(what, "terminator row not all zero");
  return rows;
}

struct EncoderRow {
  const char* fourcc;
  const char* shortName;
  const char* description;
  uint32_t isVideo;
};

static const struct EncoderRow kEncoders[] = {
    {"WMA8", "WMA8", "Windows media audio 8", 0}, {"WMA9", "WMA9", "Windows media audio 9", 0},
    {"WMV1", "WMV1", "Windows video 7", 1},       {"WMV2", "WMV2", "Windows video 8", 1},
    {"WMV3", "WMV3", "Windows video 9 ", 1},      {"HVC1", "WVC1", "Windows video 9 HD", 1},
    {"W264", "H264", "Windows System H264", 1},   {"W265", "H265", "Windows System H264", 1},
    {"WAAC", "WAAC", "Windows System AAC", 0},
};

static const char* const kWmvAudio[] = {"WMA8", "WMA9"};
static const char* const kWmvVideo[] = {"WMV1", "WMV2", "WMV3", "HVC1"};
static const char* const kMp4Audio[] = {"WAAC"};
static const char* const kMp4Video[] = {"W264", "W265"};

struct ContainerRow {
  const char* fourcc;
  const char* extension;
  const char* shortName;
  const char* description;
  const char* const* audio;
  size_t audioCount;
  const char* const* video;
  size_t videoCount;
};

static const struct ContainerRow kContainers[] = {
    {"WWMV", ".wmv", "WMV", "Windows Media Video", kWmvAudio, 2, kWmvVideo, 4},
    {"WWMA", ".wma", "WMA", "Windows Media Audio", kWmvAudio, 2, NULL, 0},
    {"WMP4", ".mp4", "mp4", "Windows MP4 Video", kMp4Audio, 1, kMp4Video, 2},
};

static void CheckContainerHead(const char* what, const uint8_t* row, const struct ContainerRow* want) {
  CheckU32(what, U32(row, 0), FourCC(want->fourcc));
  CheckWide(what, row, 4, 10, want->extension);
  CheckWide(what, row, 24, 64, want->shortName);
  CheckWide(what, row, 152, 128, want->description);
  CheckCodecList(what, Ptr(row, 408), want->audio, want->audioCount, 1);
  CheckCodecList(what, Ptr(row, 416), want->video, want->videoCount, 1);
}

/* dlsym's object pointer as a function pointer, without type punning. */
static TableFn Export(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  TableFn fn;
  memcpy(&fn, &symbol, sizeof fn);
  return fn;
}

int main(int argc, char** argv) {
  void* library;
  TableFn getEncoders, getFileFormats, getMultiStream;
  const uint8_t* table;
  size_t i;

  if (argc < 2) {
    printf("usage: %s <path of kx_Traxel.so>\n", argv[0]);
    return 2;
  }
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    printf("FAIL: dlopen: %s\n", dlerror());
    return 1;
  }
  getEncoders = Export(library, "GetEncoders");
  getFileFormats = Export(library, "GetFileFormats");
  getMultiStream = Export(library, "GetFileMultiStreamFormats");
  if (getEncoders == NULL || getFileFormats == NULL || getMultiStream == NULL) {
    printf("FAIL: an export is missing\n");
    return 1;
  }

  table = (const uint8_t*)getEncoders();
  if (getEncoders() != table) Fail("GetEncoders", "a second call returns another table");
  if (CountRows("encoders", table, 480) != 9) Fail("encoders", "not 9 rows");
  for (i = 0; i < 9; ++i) {
    const uint8_t* row = table + 480 * i;
    CheckU32(kEncoders[i].fourcc, U32(row, 0), FourCC(kEncoders[i].fourcc));
    CheckWide(kEncoders[i].fourcc, row, 4, 64, kEncoders[i].shortName);
    CheckWide(kEncoders[i].fourcc, row, 132, 128, kEncoders[i].description);
    CheckU32(kEncoders[i].fourcc, U32(row, 388), kEncoders[i].isVideo);
    if (!AllZero(row + 392, 88)) Fail(kEncoders[i].fourcc, "reserved bytes not zero");
  }

  table = (const uint8_t*)getFileFormats();
  if (getFileFormats() != table) Fail("GetFileFormats", "a second call returns another table");
  if (CountRows("file formats", table, 480) != 3) Fail("file formats", "not 3 rows");
  for (i = 0; i < 3; ++i) {
    const uint8_t* row = table + 480 * i;
    CheckContainerHead(kContainers[i].fourcc, row, &kContainers[i]);
    if (Ptr(row, 424) == NULL || Ptr(row, 432) == NULL || Ptr(row, 448) == NULL)
      Fail(kContainers[i].fourcc, "create, write audio or close missing");
    if ((Ptr(row, 440) == NULL) != (kContainers[i].videoCount == 0))
      Fail(kContainers[i].fourcc, "WriteVideoFrame present exactly when the container takes video");
    if (Ptr(row, 456) != NULL || Ptr(row, 464) != NULL) Fail(kContainers[i].fourcc, "extra-data slots not null");
    if (!AllZero(row + 472, 8)) Fail(kContainers[i].fourcc, "reserved bytes not zero");
  }

  table = (const uint8_t*)getMultiStream();
  if (getMultiStream() != table) Fail("GetFileMultiStreamFormats", "a second call returns another table");
  if (CountRows("multi-stream formats", table, 488) != 3) Fail("multi-stream formats", "not 3 rows");
  for (i = 0; i < 3; ++i) {
    const uint8_t* row = table + 488 * i;
    size_t slot;
    CheckContainerHead(kContainers[i].fourcc, row, &kContainers[i]);
    if (Ptr(row, 424) != NULL) Fail(kContainers[i].fourcc, "offset 424 not zero");
    for (slot = 432; slot <= 472; slot += 8) {
      if (Ptr(row, slot) == NULL || Ptr(row, slot) != Ptr(table, slot))
        Fail(kContainers[i].fourcc, "a multi-stream slot is missing or differs from the first row's");
    }
    CheckU32(kContainers[i].fourcc, U32(row, 480), 1);
    if (!AllZero(row + 484, 4)) Fail(kContainers[i].fourcc, "reserved bytes not zero");
  }

  if (g_failures != 0) {
    printf("%d checks failed\n", g_failures);
    return 1;
  }
  printf("all rows and strings as expected\n");
  return 0;
}
