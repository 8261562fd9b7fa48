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
  return {.createSinkWriterFromURL = &MFCreateSinkWriterFromURL,
          .transcodeGetAudioOutputAvailableTypes = &MFTranscodeGetAudioOutputAvailableTypes,
          .initAMMediaTypeFromMFMediaType = &MFInitAMMediaTypeFromMFMediaType,
          .createEvent = &CreateEventW,
          .createSample = &MFCreateSample,
          .createMemoryBuffer = &MFCreateMemoryBuffer};
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
      entryPoints(entry) {
  EncodeParamsInit(&encParam);
  EncodeParamsCopy(&encParam, hostParams);
  // Auto-reset, not signalled, unnamed. A null handle is caught by Init.
  hFinalizeEvent = kx::ScopedHandle(entryPoints.createEvent(nullptr, FALSE, FALSE, nullptr));
  // One reference, owned by the encoder; null if it cannot be allocated
  // (Init then refuses to open the file).
  pCallback.Attach(new (std::nothrow) CMFSinkWriterCallback(hFinalizeEvent.Get()));
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
  // No best-fit look-alikes and no default character: a name that the code
  // page cannot spell would be another file's name. The UTF-8 code page
  // (65001: an application manifest or the system-wide setting) refuses
  // both flags; there the strict conversion fails for such a name instead.
  const bool utf8 = GetACP() == CP_UTF8;
  BOOL usedDefaultChar = FALSE;
  const int converted =
      utf8 ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, widePath.data(), -1, narrowPath.data(),
                                 static_cast<int>(narrowPath.size()), nullptr, nullptr)
           : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, widePath.data(), -1, narrowPath.data(),
                                 static_cast<int>(narrowPath.size()), nullptr, &usedDefaultChar);
  if (utf8 && converted == 0 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) usedDefaultChar = TRUE;
  if (!usedDefaultChar && (converted <= 0 || narrowPath.back() != 0)) {
    LogAtLevel(kLogError, "[Media Foundation ]: the output path does not fit %d bytes in the ANSI code page",
               static_cast<int>(kNarrowPathBytes - 1));
    return false;
  }
  if (usedDefaultChar) {
    // The file itself is written under its wide name; only the XMP packet,
    // whose injection takes a narrow name, cannot reach it.
    LogAtLevel(kLogInfo, "[Media Foundation ]: the output path cannot be spelled in the ANSI code page, "
                         "the file gets no XMP packet");
    narrow->clear();
    return true;
  }
  narrow->assign(narrowPath.data());
  return true;
}

int SinkWriterEncoder::Init(const WCHAR* pFilename) { return SUCCEEDED(OpenWriter(pFilename)) ? 1 : 0; }

HRESULT SinkWriterEncoder::OpenWriter(const WCHAR* pFilename) {
  // Finish waits for the callback to signal the event: without either of
  // them a finished file could never be closed.
  if (!pCallback || !hFinalizeEvent) {
    LogAtLevel(kLogError, "[Media Foundation ]: the finalize callback or its event could not be created");
    return E_OUTOFMEMORY;
  }
  std::string narrowFileName;
  if (!ConvertFileName(pFilename, &narrowFileName)) return E_INVALIDARG;

  kx::ComPtr<IMFAttributes> pIMFAttributes;
  RETURN_IF_FAILED(MFCreateAttributes(&pIMFAttributes, 10), "MFCreateAttributes(&pIMFAttributes, 10)");
  // Without the callback Finalize would never signal and the close would
  // wait forever.
  RETURN_IF_FAILED(pIMFAttributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK,
                                              static_cast<IMFSinkWriterCallback*>(pCallback.Get())),
                   "pIMFAttributes->SetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, pCallback)");
  const UINT32 nlowlatency = TRUE;
  RETURN_IF_FAILED(pIMFAttributes->SetUINT32(MF_LOW_LATENCY, nlowlatency),
                   "pIMFAttributes->SetUINT32(MF_LOW_LATENCY, nlowlatency)");
  // The container follows from the path's extension.
  RETURN_IF_FAILED(entryPoints.createSinkWriterFromURL(pFilename, nullptr, pIMFAttributes.Get(), &mfsinkwriter),
                   "MFCreateSinkWriterFromURL(pFilename, NULL, pIMFAttributes, &mfsinkwriter)");
  strFileName = std::move(narrowFileName);

  // Video first, so with both streams present video gets the first index.
  if (encParam.bNoVideo == 0) RETURN_IF_FAILED(CreateVideoMediaType(), "CreateVideoMediaType()");
  if (encParam.bNoAudio == 0) RETURN_IF_FAILED(CreateAudioMediaType(), "CreateAudioMediaType()");
  RETURN_IF_FAILED(mfsinkwriter->BeginWriting(), "mfsinkwriter->BeginWriting()");

  // Not used for writing: a writer without it is fine, and the failure is
  // only an info line.
  (void)MfCheck(mfsinkwriter.As(IID_IMFSinkWriterEx, std::addressof(mfsinkwriterEx)), "", kLogInfo);
  return S_OK;
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

HRESULT SinkWriterEncoder::Finish() {
  if (!finishStatus) finishStatus = FinishWriter();
  return *finishStatus;
}

HRESULT SinkWriterEncoder::FinishWriter() {
  if (!mfsinkwriter) return S_OK;
  // A refused call skips the wait and the XMP packet: nothing will signal.
  if (bFinalized == 0) {
    RETURN_IF_FAILED(mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS),
                     "mfsinkwriter->NotifyEndOfSegment(MF_SINK_WRITER_ALL_STREAMS)");
    RETURN_IF_FAILED(mfsinkwriter->Finalize(), "mfsinkwriter->Finalize()");
  }
  // Whoever started the finalizing, the file is complete only once the
  // writer has called OnFinalize. (A writer exists only when Init found the
  // callback and the event.)
  RETURN_IF_FAILED(WaitForSingleObject(hFinalizeEvent.Get(), INFINITE) == WAIT_OBJECT_0 ? S_OK : E_HANDLE,
                   "WaitForSingleObject(hFinalizeEvent, INFINITE)");
  // Finalize itself returned at once; how it ended (a full disk, a file
  // grown too large) comes only through the callback.
  const HRESULT finalized = MfCheck(pCallback->FinalizeStatus(), "mfsinkwriter->Finalize()");
  // A file finished by the host's finish request gets no XMP packet.
  if (bFinalized == 0) {
    const char* xmpBytes = xmpData.empty() ? nullptr : reinterpret_cast<const char*>(xmpData.data());
    if (!InjectAsfXmp(strFileName.c_str(), xmpBytes, xmpData.size(), 0)) {
      LogPrintW(KX_W("Failed to add xmp object for ASF file."));
    }
  }
  return finalized;
}

// The members release themselves in reverse order of declaration: the
// event, the callback's own reference, then the writer (and with it the
// writer's reference to the callback, which logs "release \n").
SinkWriterEncoder::~SinkWriterEncoder() { EncodeParamsRelease(&encParam); }
