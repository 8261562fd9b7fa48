#include "fakes.h"

#include <cstdio>
#include <algorithm>
#include <cstring>

#include <kx_traxel/zq_log.h>

#include "kxrecords/encode_params.h"
#include "kxdiag/log.h"

namespace sinkwriter_test {

namespace {

FakePlatform* g_platform = nullptr;

std::string Ascii(const WCHAR* text) {
  std::string out;
  for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
    const auto unit = static_cast<uint16_t>(text[i]);
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

HRESULT STDAPICALLTYPE FakeCreateSinkWriterFromURL(LPCWSTR pwszOutputURL, IMFByteStream* pByteStream,
                                                   IMFAttributes* pAttributes, IMFSinkWriter** ppSinkWriter) {
  FakePlatform& platform = *g_platform;
  ++platform.createCalls;
  WriterRecord& record = *platform.writer;
  if (pwszOutputURL != nullptr) record.url = pwszOutputURL;
  kx::ComPtr<IMFSinkWriterCallback> callback;
  if (pAttributes != nullptr) {
    record.hadCallback = SUCCEEDED(pAttributes->GetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, IID_IMFSinkWriterCallback,
                                                           reinterpret_cast<void**>(&callback)));
    UINT32 lowLatency = 0;
    if (SUCCEEDED(pAttributes->GetUINT32(MF_LOW_LATENCY, &lowLatency))) record.lowLatency = lowLatency;
  }
  if (FAILED(platform.createResult)) return platform.createResult;
  *ppSinkWriter = new FakeSinkWriter(platform.writer, std::move(callback));
  return S_OK;
}

HRESULT STDAPICALLTYPE FakeTranscodeGetAudioOutputAvailableTypes(REFGUID guidSubType, DWORD dwMFTFlags,
                                                                 IMFAttributes* pCodecConfig,
                                                                 IMFCollection** ppAvailableTypes) {
  FakePlatform& platform = *g_platform;
  ++platform.listCalls;
  platform.listedSubtype = guidSubType;
  platform.listedFlags = dwMFTFlags;
  platform.listedWithAttributes = pCodecConfig != nullptr;
  if (FAILED(platform.listResult)) return platform.listResult;
  *ppAvailableTypes = new FakeCollection(platform.audioTypes);
  return S_OK;
}

HRESULT STDAPICALLTYPE FakeInitAMMediaTypeFromMFMediaType(IMFMediaType* pMFType, GUID guidFormatBlockType,
                                                          AM_MEDIA_TYPE* pAMType) {
  FakePlatform& platform = *g_platform;
  const int call = platform.conversions++;
  if (call == platform.conversionFailsAt) return platform.conversionResult;
  if (pMFType == nullptr || pAMType == nullptr || !IsEqualGUID(guidFormatBlockType, FORMAT_WaveFormatEx)) {
    return E_INVALIDARG;
  }
  UINT32 channels = 0;
  UINT32 rate = 0;
  UINT32 bits = 0;
  UINT32 avgBytes = 0;
  pMFType->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
  pMFType->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
  pMFType->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
  pMFType->GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &avgBytes);
  WAVEFORMATEX wave{};
  wave.wFormatTag = 0x0161;
  wave.nChannels = static_cast<WORD>(channels);
  wave.nSamplesPerSec = rate;
  wave.nAvgBytesPerSec = avgBytes;
  wave.wBitsPerSample = static_cast<WORD>(bits);
  std::memset(pAMType, 0, sizeof *pAMType);
  pAMType->majortype = MFMediaType_Audio;
  pAMType->formattype = FORMAT_WaveFormatEx;
  pAMType->cbFormat = platform.formatBlockBytes;
  if (platform.formatBlockBytes == 0) return S_OK;
  pAMType->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(platform.formatBlockBytes));
  if (pAMType->pbFormat == nullptr) return E_OUTOFMEMORY;
  std::memset(pAMType->pbFormat, 0, platform.formatBlockBytes);
  std::memcpy(pAMType->pbFormat, &wave, std::min<size_t>(sizeof wave, platform.formatBlockBytes));
  return S_OK;
}

HANDLE STDAPICALLTYPE FakeCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                       LPCWSTR name) {
  if (g_platform != nullptr && g_platform->eventFails) return nullptr;
  return CreateEventW(attributes, manualReset, initialState, name);
}

}  // namespace

// ---------------------------------------------------------------------------

FakeSinkWriter::FakeSinkWriter(std::shared_ptr<WriterRecord> record, kx::ComPtr<IMFSinkWriterCallback> callback)
    : record_(std::move(record)), callback_(std::move(callback)) {}

FakeSinkWriter::~FakeSinkWriter() {
  if (finalizer_.joinable()) finalizer_.join();
  record_->writerDestroyed = true;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMFSinkWriter) ||
      (record_->offersEx && IsEqualIID(riid, IID_IMFSinkWriterEx))) {
    *ppv = static_cast<IMFSinkWriterEx*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeSinkWriter::AddRef() { return ++refCount_; }

ULONG STDMETHODCALLTYPE FakeSinkWriter::Release() {
  const ULONG count = --refCount_;
  if (count == 0) delete this;
  return count;
}

HRESULT FakeSinkWriter::Enter(const std::string& call, const std::string& method) {
  record_->calls.push_back(call);
  const auto refusal = record_->refuse.find(method);
  return refusal == record_->refuse.end() ? S_OK : refusal->second;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::AddStream(IMFMediaType* pTargetMediaType, DWORD* pdwStreamIndex) {
  if (const HRESULT hr = Enter("AddStream", "AddStream"); FAILED(hr)) return hr;
  *pdwStreamIndex = static_cast<DWORD>(record_->outputTypes.size());
  record_->outputTypes.emplace_back(pTargetMediaType);
  record_->inputTypes.emplace_back();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::SetInputMediaType(DWORD dwStreamIndex, IMFMediaType* pInputMediaType,
                                                            IMFAttributes* pEncodingParameters) {
  const HRESULT hr = Enter("SetInputMediaType(" + std::to_string(dwStreamIndex) + ")", "SetInputMediaType");
  if (FAILED(hr)) return hr;
  if (dwStreamIndex >= record_->inputTypes.size() || pEncodingParameters != nullptr) return E_INVALIDARG;
  record_->inputTypes[dwStreamIndex] = kx::ComPtr<IMFMediaType>(pInputMediaType);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::BeginWriting() { return Enter("BeginWriting", "BeginWriting"); }

HRESULT STDMETHODCALLTYPE FakeSinkWriter::WriteSample(DWORD dwStreamIndex, IMFSample* pSample) {
  const HRESULT hr = Enter("WriteSample(" + std::to_string(dwStreamIndex) + ")", "WriteSample");
  if (FAILED(hr)) return hr;
  SampleRecord sample;
  sample.stream = dwStreamIndex;
  if (FAILED(pSample->GetSampleTime(&sample.time)) || FAILED(pSample->GetSampleDuration(&sample.duration))) {
    return E_INVALIDARG;
  }
  DWORD bufferCount = 0;
  if (FAILED(pSample->GetBufferCount(&bufferCount)) || bufferCount != 1) return E_INVALIDARG;
  kx::ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(pSample->GetBufferByIndex(0, &buffer))) return E_INVALIDARG;
  BYTE* data = nullptr;
  DWORD maxLength = 0;
  DWORD currentLength = 0;
  if (FAILED(buffer->Lock(&data, &maxLength, &currentLength))) return E_INVALIDARG;
  sample.bytes.assign(data, data + currentLength);
  buffer->Unlock();
  record_->samples.push_back(std::move(sample));
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::SendStreamTick(DWORD, LONGLONG) { return Enter("SendStreamTick", "SendStreamTick"); }

HRESULT STDMETHODCALLTYPE FakeSinkWriter::PlaceMarker(DWORD, LPVOID) { return Enter("PlaceMarker", "PlaceMarker"); }

HRESULT STDMETHODCALLTYPE FakeSinkWriter::NotifyEndOfSegment(DWORD dwStreamIndex) {
  char text[48];
  std::snprintf(text, sizeof text, "NotifyEndOfSegment(0x%08X)", static_cast<unsigned>(dwStreamIndex));
  return Enter(text, "NotifyEndOfSegment");
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::Flush(DWORD) { return Enter("Flush", "Flush"); }

HRESULT STDMETHODCALLTYPE FakeSinkWriter::Finalize() {
  if (const HRESULT hr = Enter("Finalize", "Finalize"); FAILED(hr)) return hr;
  if (!callback_) return S_OK;
  if (record_->finalizeOnThread) {
    if (finalizer_.joinable()) finalizer_.join();
    finalizer_ = std::thread([callback = callback_, status = record_->finalizeStatus] { callback->OnFinalize(status); });
  } else {
    callback_->OnFinalize(record_->finalizeStatus);
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::GetServiceForStream(DWORD, REFGUID, REFIID, LPVOID* ppvObject) {
  if (ppvObject != nullptr) *ppvObject = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE FakeSinkWriter::GetStatistics(DWORD, MF_SINK_WRITER_STATISTICS*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE FakeSinkWriter::GetTransformForStream(DWORD, DWORD, GUID*, IMFTransform** ppTransform) {
  if (ppTransform != nullptr) *ppTransform = nullptr;
  return E_NOTIMPL;
}

// ---------------------------------------------------------------------------

FakeCollection::FakeCollection(std::vector<kx::ComPtr<IUnknown>> elements) : elements_(std::move(elements)) {}

FakeCollection::~FakeCollection() = default;

HRESULT STDMETHODCALLTYPE FakeCollection::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMFCollection)) {
    *ppv = static_cast<IMFCollection*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE FakeCollection::AddRef() { return ++refCount_; }

ULONG STDMETHODCALLTYPE FakeCollection::Release() {
  const ULONG count = --refCount_;
  if (count == 0) delete this;
  return count;
}

HRESULT STDMETHODCALLTYPE FakeCollection::GetElementCount(DWORD* pcElements) {
  *pcElements = static_cast<DWORD>(elements_.size());
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeCollection::GetElement(DWORD dwElementIndex, IUnknown** ppUnkElement) {
  if (ppUnkElement == nullptr) return E_POINTER;
  *ppUnkElement = nullptr;
  if (dwElementIndex >= elements_.size()) return E_INVALIDARG;
  // A null element stands for one the collection cannot give out.
  if (!elements_[dwElementIndex]) return E_UNEXPECTED;
  elements_[dwElementIndex].CopyTo(ppUnkElement);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeCollection::AddElement(IUnknown*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FakeCollection::RemoveElement(DWORD, IUnknown**) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FakeCollection::InsertElementAt(DWORD, IUnknown*) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE FakeCollection::RemoveAllElements() { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE NotAMediaType::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE NotAMediaType::AddRef() { return ++refCount_; }

ULONG STDMETHODCALLTYPE NotAMediaType::Release() {
  const ULONG count = --refCount_;
  if (count == 0) delete this;
  return count;
}

kx::ComPtr<IUnknown> MakeAudioType(const GUID& subtype, const AudioCandidate& candidate) {
  kx::ComPtr<IMFMediaType> type;
  if (FAILED(MFCreateMediaType(&type))) return {};
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, candidate.channels);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, candidate.sampleRate);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, candidate.bitsPerSample);
  type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, candidate.avgBytesPerSec);
  type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, 1487);
  return kx::ComPtr<IUnknown>(type.Get());
}

// ---------------------------------------------------------------------------

FakePlatform::FakePlatform() { g_platform = this; }

FakePlatform::~FakePlatform() { g_platform = nullptr; }

SinkWriterEntryPoints FakePlatform::EntryPoints() const {
  return {&FakeCreateSinkWriterFromURL, &FakeTranscodeGetAudioOutputAvailableTypes,
          &FakeInitAMMediaTypeFromMFMediaType, &FakeCreateEventW};
}

LogCapture::LogCapture() { ZqLog_SetSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { ZqLog_SetSink(nullptr, nullptr); }

void LogCapture::Sink(void* context, const kx_wchar* text) {
  auto* self = static_cast<LogCapture*>(context);
  std::string line;
  for (size_t i = 0; text[i] != 0; ++i) {
    const auto unit = static_cast<uint16_t>(text[i]);
    line += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.push_back(std::move(line));
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

std::string FailureLine(const std::string& level, const std::string& callText, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  return "kx_Traxel " + level + " [Media Foundation ]: " + callText + " failed,  " + Ascii(HresultText(hr).c_str()) +
         " (" + code + ")\n";
}

EncodeParams MakeParams(const StreamSetup& setup) {
  EncodeParams params{};
  EncodeParamsInit(&params);
  params.nFileFourCC = KX_FOURCC('W', 'M', 'V', '3');
  params.video.nFourCC = setup.videoFourCC;
  params.video.nWidth = setup.width;
  params.video.nHeight = setup.height;
  params.video.dFrameRate = setup.frameRate;
  params.video.nBitrate = setup.videoBitrate;
  params.audio.nFourCC = setup.audioFourCC;
  params.audio.nSampleRate = setup.sampleRate;
  params.audio.nChannels = setup.channels;
  params.audio.nBitsPerSample = setup.bitsPerSample;
  params.audio.nBitrate = setup.audioBitrate;
  params.bNoVideo = setup.video ? 0 : 1;
  params.bNoAudio = setup.audio ? 0 : 1;
  return params;
}

WideString Wide(const char* ascii) {
  WideString out;
  for (const char* p = ascii; *p != 0; ++p) out += static_cast<WCHAR>(static_cast<unsigned char>(*p));
  return out;
}

}  // namespace sinkwriter_test
