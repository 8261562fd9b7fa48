#include "fake_file_formats.h"

#include <cstring>

#include "discovery_tables.h"
#include "host_records.h"
#include "wide_text.h"

namespace kx::test {

namespace {

int g_fakeFile;

std::vector<uint8_t> Bytes(const uint8_t* data, int32_t count) {
  if (data == nullptr || count <= 0) return {};
  return std::vector<uint8_t>(data, data + count);
}

MediaFileHandle FakeCreate(const kx_wchar* pFileName, const EncodeParams* pEncParam, uint64_t value) {
  FakeCall call;
  call.slot = "create";
  if (pEncParam != nullptr) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(pEncParam);
    call.record.assign(bytes, bytes + sizeof(EncodeParams));
    const StreamExtraBlock* blocks[3] = {&pEncParam->video.extra, &pEncParam->audio.extra,
                                         &pEncParam->subpicture.extra};
    for (int i = 0; i < 3; ++i) {
      call.extraData[i] = Bytes(blocks[i]->pExtraData, static_cast<int32_t>(blocks[i]->nExtraDataSize));
    }
  }
  call.fileName = pFileName != nullptr ? ToUtf8(pFileName) : "(null)";
  call.value = value;
  Fake().calls.push_back(call);
  return Fake().createResult;
}

int32_t FakeWriteAudio(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t value, uint32_t index) {
  FakeCall call;
  call.slot = "audio";
  call.handle = handle;
  call.frame = pFrame;
  call.value = value;
  call.index = index;
  Fake().calls.push_back(call);
  return handle == nullptr || pFrame == nullptr ? -1 : kFakeAudioResult;
}

int32_t FakeWriteVideo(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t index) {
  FakeCall call;
  call.slot = "video";
  call.handle = handle;
  call.frame = pFrame;
  call.index = index;
  Fake().calls.push_back(call);
  return handle == nullptr || pFrame == nullptr ? -1 : kFakeVideoResult;
}

void FakeClose(MediaFileHandle handle) {
  FakeCall call;
  call.slot = "close";
  call.handle = handle;
  Fake().calls.push_back(call);
}

void FakeAudioExtra(MediaFileHandle handle, const uint8_t* pData, int32_t nBytes, uint32_t index) {
  FakeCall call;
  call.slot = "audio extra";
  call.handle = handle;
  call.first = Bytes(pData, nBytes);
  call.firstNull = pData == nullptr;
  call.index = index;
  Fake().calls.push_back(call);
}

void FakeVideoExtra(MediaFileHandle handle, const uint8_t* pSecond, int32_t nSecondBytes, const uint8_t* pFirst,
                    int32_t nFirstBytes, uint32_t index) {
  FakeCall call;
  call.slot = "video extra";
  call.handle = handle;
  call.first = Bytes(pFirst, nFirstBytes);
  call.firstNull = pFirst == nullptr;
  call.second = Bytes(pSecond, nSecondBytes);
  call.secondNull = pSecond == nullptr;
  call.index = index;
  Fake().calls.push_back(call);
}

FileFormatDescriptor g_fakeRows[4];

bool BuildRows() {
  std::memset(g_fakeRows, 0, sizeof g_fakeRows);
  const char* fourccs[3] = {"WWMV", "WWMA", "WMP4"};
  for (int i = 0; i < 3; ++i) {
    g_fakeRows[i].fourcc = FourCC(fourccs[i]);
    g_fakeRows[i].CreateMediaFile = FakeCreate;
    g_fakeRows[i].WriteAudioFrame = FakeWriteAudio;
    g_fakeRows[i].WriteVideoFrame = FakeWriteVideo;
    g_fakeRows[i].CloseMediaFile = FakeClose;
  }
  // WMA takes no video. The WMV and WMA rows take extra data, so that the
  // adapter's hand-over is visible; the MP4 row, like the real rows, does not.
  g_fakeRows[1].WriteVideoFrame = nullptr;
  for (int i = 0; i < 2; ++i) {
    g_fakeRows[i].SetAudioExtraData = FakeAudioExtra;
    g_fakeRows[i].SetVideoExtraData = FakeVideoExtra;
  }
  return true;
}

}  // namespace

void FakeFileFormats::Reset() {
  calls.clear();
  createResult = FakeFile();
}

FakeFileFormats& Fake() {
  static FakeFileFormats fake{{}, FakeFile()};
  return fake;
}

MediaFileHandle FakeFile() { return &g_fakeFile; }

}  // namespace kx::test

namespace kx {

FileFormatDescriptor* FileFormatTable() {
  static const bool built = kx::test::BuildRows();
  (void)built;
  return kx::test::g_fakeRows;
}

FileFormatDescriptor* LegacyFileFormatTable() { return nullptr; }

}  // namespace kx
