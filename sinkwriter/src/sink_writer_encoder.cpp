// SinkWriterEncoder: construction, Init, the XMP packet, finishing and
// destruction. Media types are set up in media_types.cpp, samples written in
// sample_writing.cpp.
#include "kxsinkwriter/sink_writer_encoder.h"

#include <algorithm>
#include <memory>
#include <new>

#include <kx_traxel/zq_log.h>

#include "kxrecords/encode_params.h"
#include "kxdiag/log.h"

namespace {

// Size of the narrow buffer the output path is converted into.
constexpr size_t kNarrowPathBytes = 8192;

// The largest XMP packet SetXmpString accepts.
constexpr size_t kMaxXmpBytes = 0x7FFFFFFFFFFFFFE7ull;

}  // namespace

SinkWriterEntryPoints SinkWriterEntryPoints::Platform() {
  return {&MFCreateSinkWriterFromURL, &MFTranscodeGetAudioOutputAvailableTypes, &MFInitAMMediaTypeFromMFMediaType,
          &CreateEventW};
}

SinkWriterEncoder::SinkWriterEncoder(const EncodeParams& hostParams)
    : SinkWriterEncoder(hostParams, SinkWriterEntryPoints::Platform()) {}

SinkWriterEncoder::SinkWriterEncoder(const EncodeParams& hostParams, const SinkWriterEntryPoints& entry)
    : encParam(),
      audioStreamIndex(0xFFFFFFFF),
      videoStreamIndex(0xFFFFFFFF),
      den(0),
      num(0),
      bFinalized(0),
      hFinalizeEvent(nullptr),
      entryPoints(entry) {
  EncodeParamsInit(&encParam);
  EncodeParamsCopy(&encParam, hostParams);
  // Auto-reset, not signalled, unnamed. A null handle is caught by Init.
  hFinalizeEvent = entryPoints.createEvent(nullptr, FALSE, FALSE, nullptr);
  // One reference, owned by the encoder; null if it cannot be allocated
  // (Init then refuses to open the file).
  pCallback.Attach(new (std::nothrow) CMFSinkWriterCallback(hFinalizeEvent));
}

bool SinkWriterEncoder::ConvertFileName(const WCHAR* pFilename, std::string* narrow) {
  if (pFilename == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: no output path given");
    return false;
  }
  size_t length = 0;
  while (length <= kMaxPathChars && pFilename[length] != 0) ++length;
  if (length > kMaxPathChars) {
    LogAtLevel(kLogError, "[Media Foundation ]: the output path is longer than %d characters", int{kMaxPathChars});
    return false;
  }
  std::vector<WCHAR> widePath(kMaxPathChars + 2, 0);
  std::copy(pFilename, pFilename + length, widePath.begin());
  std::vector<char> narrowPath(kNarrowPathBytes, 0);
  // The whole buffer is offered: in a multi-byte code page a character may
  // take more than two bytes. A path that does not fit is refused rather
  // than cut, so the XMP injection never works on another file's name.
  const int converted = WideCharToMultiByte(CP_ACP, 0, widePath.data(), -1, narrowPath.data(),
                                            static_cast<int>(narrowPath.size()), nullptr, nullptr);
  if (converted <= 0 || narrowPath.back() != 0) {
    LogAtLevel(kLogError, "[Media Foundation ]: the output path does not fit %d bytes in the ANSI code page",
               static_cast<int>(kNarrowPathBytes - 1));
    return false;
  }
  narrow->assign(narrowPath.data());
  return true;
}

int SinkWriterEncoder::Init(const WCHAR* pFilename) {
  // Destruction waits for the callback to signal the event: without either
  // of them a finished file could never be closed.
  if (!pCallback || hFinalizeEvent == nullptr) {
    LogAtLevel(kLogError, "[Media Foundation ]: the finalize callback or its event could not be created");
    return 0;
  }
  std::string narrowFileName;
  if (!ConvertFileName(pFilename, &narrowFileName)) return 0;

  kx::ComPtr<IMFAttributes> pIMFAttributes;
  if (FAILED(MfCheck(MFCreateAttributes(&pIMFAttributes, 10), "MFCreateAttributes(&pIMFAttributes, 10)"))) return 0;
  // Without the callback Finalize would never signal and the close would
  // wait forever.
  if (FAILED(MfCheck(pIMFAttributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK,
                                                static_cast<IMFSinkWriterCallback*>(pCallback.Get())),
                     "pIMFAttributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, pCallback)"))) {
    return 0;
  }
  const UINT32 nlowlatency = TRUE;
  if (FAILED(MfCheck(pIMFAttributes->SetUINT32(MF_LOW_LATENCY, nlowlatency),
                     "pIMFAttributes->SetUINT32(MF_LOW_LATENCY, nlowlatency)"))) {
    return 0;
  }
  // The container follows from the path's extension.
  if (FAILED(MfCheck(entryPoints.createSinkWriterFromURL(pFilename, nullptr, pIMFAttributes.Get(), &mfsinkwriter),
                     "MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)"))) {
    return 0;
  }
  strFileName = std::move(narrowFileName);

  // Video first, so with both streams present video gets the first index.
  if (encParam.bNoVideo == 0 && FAILED(MfCheck(CreateVideoMediaType(), "CreateVideoMediaType()"))) return 0;
  if (encParam.bNoAudio == 0 && FAILED(MfCheck(CreateAudioMediaType(), "CreateAudioMediaType()"))) return 0;

  if (FAILED(MfCheck(mfsinkwriter->BeginWriting(), "mfsinkwriter->BeginWriting()"))) return 0;

  // Not used for writing; a writer without it is fine.
  (void)MfCheck(mfsinkwriter.As(IID_IMFSinkWriterEx, std::addressof(mfsinkwriterEx)), "", kLogInfo);
  return 1;
}

void SinkWriterEncoder::SetXmpString(const char* data, size_t length) {
  xmpData.clear();
  if (data == nullptr || length == 0) return;
  if (length > kMaxXmpBytes) {
    LogPrintW(KX_W("The Xmp String is too long."));
    return;
  }
  xmpData.assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + length);
}

HRESULT SinkWriterEncoder::FlushEncode() {
  if (!mfsinkwriter) return S_OK;
  RETURN_IF_FAILED(mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS),
                   "mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)");
  // With the asynchronous callback this returns at once; completion comes
  // through OnFinalize.
  const HRESULT hr = MfCheck(mfsinkwriter->Finalize(), "mfsinkwriter->Finalize()");
  if (FAILED(hr)) return hr;
  bFinalized = 1;
  return hr;
}

SinkWriterEncoder::~SinkWriterEncoder() {
  if (mfsinkwriter) {
    bool finalizing = true;
    if (bFinalized == 0) {
      finalizing = SUCCEEDED(MfCheck(mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS),
                                     "mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)")) &&
                   SUCCEEDED(MfCheck(mfsinkwriter->Finalize(), "mfsinkwriter->Finalize()"));
    }
    if (finalizing && hFinalizeEvent != nullptr) {
      // Whoever started the finalizing, the file is complete only once the
      // writer has called OnFinalize.
      WaitForSingleObject(hFinalizeEvent, INFINITE);
      // Finalize itself returned at once; how it ended (a full disk, a file
      // grown too large) comes only through the callback.
      if (pCallback) (void)MfCheck(pCallback->FinalizeStatus(), "mfsinkwriter->Finalize()");
      // A file finished by the host's finish request gets no XMP packet.
      if (bFinalized == 0) {
        const char* xmpBytes = xmpData.empty() ? nullptr : reinterpret_cast<const char*>(xmpData.data());
        if (!InjectAsfXmp(strFileName.c_str(), xmpBytes, xmpData.size(), 0)) {
          LogPrintW(KX_W("Failed to add xmp object for ASF file."));
        }
      }
    }
  }
  pCallback.Reset();
  if (hFinalizeEvent != nullptr) {
    CloseHandle(hFinalizeEvent);
    hFinalizeEvent = nullptr;
  }
  std::string().swap(strFileName);
  std::vector<uint8_t>().swap(xmpData);
  mfsinkwriterEx.Reset();
  // The writer holds the last reference to the callback: "release" is
  // logged here.
  mfsinkwriter.Reset();
  EncodeParamsRelease(&encParam);
}
