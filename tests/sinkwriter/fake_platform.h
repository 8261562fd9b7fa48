// The platform as the sink-writer encoder sees it, faked: a sink writer that
// records what it is asked, the list of an encoder family's audio output
// types, their WAVEFORMATEX view, the event and the sample factories. Any
// call, the writer's or an entry point's, can be refused by name. One
// FakePlatform at a time routes the entry points to itself.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "failure_line.h"
#include "fake_com.h"
#include "host_records.h"
#include "kxdiag/log.h"
#include "kxplatform/scoped.h"
#include "kxsinkwriter/sink_writer_encoder.h"
#include "log_capture.h"
#include "wide_text.h"

namespace kx::test {

// bytes: the buffer's current length
struct SampleRecord { LONGLONG time = 0, duration = 0; std::vector<uint8_t> bytes; };

// Everything the fakes saw, kept by the test after the writer is gone.
struct WriterRecord {
  std::vector<std::string> calls;  // "AddStream", "WriteSample(1)", ...
  std::vector<ComPtr<IMFMediaType>> outputTypes;
  std::vector<SampleRecord> samples;
  // Call -> its result instead of the work: the writer's methods by their
  // names, the entry points by the platform's ("MFCreateSample", ...), and
  // "OnFinalize" for the status the writer reports after finalizing.
  std::map<std::string, HRESULT> refuse;
  bool offersEx = true, hadCallback = false, destroyed = false;  // IMFSinkWriterEx answered
  UINT32 lowLatency = 0;
  HRESULT Refusal(const std::string& call) const { return refuse.count(call) != 0 ? refuse.at(call) : S_OK; }
};

// OnFinalize always comes from a thread of the writer's own.
class FakeSinkWriter final : public Fake<IMFSinkWriterEx, IMFSinkWriter> {
 public:
  FakeSinkWriter(std::shared_ptr<WriterRecord> r, ComPtr<IMFSinkWriterCallback> c)
      : r_(std::move(r)), callback_(std::move(c)) {}
  ~FakeSinkWriter() override {
    if (finalizer_.joinable()) finalizer_.join();
    r_->destroyed = true;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IMFSinkWriterEx && !r_->offersEx) return *ppv = nullptr, E_NOINTERFACE;
    return Fake::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE AddStream(IMFMediaType* type, DWORD* index) override {
    if (const HRESULT hr = Enter("AddStream"); FAILED(hr)) return hr;
    *index = static_cast<DWORD>(r_->outputTypes.size());
    r_->outputTypes.emplace_back(type);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD i, IMFMediaType*, IMFAttributes*) override { return Enter("SetInputMediaType", i); }
  HRESULT STDMETHODCALLTYPE BeginWriting() override { return Enter("BeginWriting"); }
  HRESULT STDMETHODCALLTYPE WriteSample(DWORD index, IMFSample* sample) override {
    if (const HRESULT hr = Enter("WriteSample", index); FAILED(hr)) return hr;
    SampleRecord record;
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->GetSampleTime(&record.time)) || FAILED(sample->GetSampleDuration(&record.duration)) ||
        FAILED(sample->GetBufferByIndex(0, &buffer))) {
      return E_INVALIDARG;
    }
    ScopedBufferLock lock(buffer.Get());
    if (FAILED(lock.status())) return lock.status();
    record.bytes.assign(lock.data(), lock.data() + lock.currentLength());
    r_->samples.push_back(std::move(record));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD index) override { return Enter("NotifyEndOfSegment", index); }
  HRESULT STDMETHODCALLTYPE Finalize() override {
    if (const HRESULT hr = Enter("Finalize"); FAILED(hr) || !callback_) return hr;
    if (finalizer_.joinable()) finalizer_.join();
    finalizer_ = std::thread([c = callback_, s = r_->Refusal("OnFinalize")] { c->OnFinalize(s); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SendStreamTick(DWORD, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PlaceMarker(DWORD, LPVOID) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Flush(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD, REFGUID, REFIID, LPVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStatistics(DWORD, MF_SINK_WRITER_STATISTICS*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTransformForStream(DWORD, DWORD, GUID*, IMFTransform**) override { return E_NOTIMPL; }

 private:
  HRESULT Enter(const std::string& method, std::optional<DWORD> stream = {}) {
    r_->calls.push_back(stream ? method + "(" + std::to_string(*stream) + ")" : method);
    return r_->Refusal(method);
  }
  std::shared_ptr<WriterRecord> r_;
  ComPtr<IMFSinkWriterCallback> callback_;
  std::thread finalizer_;
};

// One candidate as an encoder family lists it: channels, rate, bits, bytes/s.
struct AudioCandidate { UINT32 channels, sampleRate, bitsPerSample, avgBytesPerSec; };

inline ComPtr<IUnknown> MakeAudioType(const AudioCandidate& c) {
  ComPtr<IMFMediaType> type;
  if (FAILED(MFCreateMediaType(&type))) return {};
  for (const auto& [key, value] : {std::pair{&MF_MT_AUDIO_NUM_CHANNELS, c.channels},
                                   {&MF_MT_AUDIO_SAMPLES_PER_SECOND, c.sampleRate},
                                   {&MF_MT_AUDIO_BITS_PER_SAMPLE, c.bitsPerSample},
                                   {&MF_MT_AUDIO_AVG_BYTES_PER_SECOND, c.avgBytesPerSec}}) {
    if (FAILED(type->SetUINT32(*key, value))) return {};
  }
  return ComPtr<IUnknown>(type.Get());
}

struct FakePlatform {
  std::shared_ptr<WriterRecord> writer = std::make_shared<WriterRecord>();
  std::vector<ComPtr<IUnknown>> audioTypes;
  int conversions = 0;
  GUID listedSubtype{};
  UINT32 formatBlockBytes = 18;  // cbFormat handed back; less is a short block

  FakePlatform() { current = this; }
  ~FakePlatform() { current = nullptr; }
  static inline FakePlatform* current = nullptr;
  static HRESULT Refusal(const char* call) { return current->writer->Refusal(call); }

  SinkWriterEntryPoints EntryPoints() const {
    return {
        .createSinkWriterFromURL = [](LPCWSTR, IMFByteStream*, IMFAttributes* attributes, IMFSinkWriter** out) -> HRESULT {
          WriterRecord& w = *current->writer;
          ComPtr<IMFSinkWriterCallback> callback;
          w.hadCallback = SUCCEEDED(attributes->GetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, IID_IMFSinkWriterCallback,
                                                           reinterpret_cast<void**>(&callback)));
          if (FAILED(attributes->GetUINT32(MF_LOW_LATENCY, &w.lowLatency))) w.lowLatency = 0;
          if (const HRESULT hr = w.Refusal("MFCreateSinkWriterFromURL"); FAILED(hr)) return hr;
          *out = new FakeSinkWriter(current->writer, std::move(callback));
          return S_OK;
        },
        .transcodeGetAudioOutputAvailableTypes = [](REFGUID subtype, DWORD, IMFAttributes*, IMFCollection** out) -> HRESULT {
          current->listedSubtype = subtype;
          ComPtr<IMFCollection> list;
          HRESULT hr = Refusal("MFTranscodeGetAudioOutputAvailableTypes");
          if (SUCCEEDED(hr)) hr = MFCreateCollection(&list);
          for (const ComPtr<IUnknown>& type : current->audioTypes) hr = SUCCEEDED(hr) ? list->AddElement(type.Get()) : hr;
          if (SUCCEEDED(hr)) *out = list.Detach();
          return hr;
        },
        .initAMMediaTypeFromMFMediaType = [](IMFMediaType* type, GUID, AM_MEDIA_TYPE* am) -> HRESULT {
          ++current->conversions;
          if (const HRESULT hr = Refusal("MFInitAMMediaTypeFromMFMediaType"); FAILED(hr)) return hr;
          WAVEFORMATEX wave{};
          wave.nChannels = static_cast<WORD>(MFGetAttributeUINT32(type, MF_MT_AUDIO_NUM_CHANNELS, 0));
          wave.nSamplesPerSec = MFGetAttributeUINT32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
          wave.wBitsPerSample = static_cast<WORD>(MFGetAttributeUINT32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 0));
          wave.nAvgBytesPerSec = MFGetAttributeUINT32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0);
          *am = AM_MEDIA_TYPE{};
          am->cbFormat = current->formatBlockBytes;
          if (am->cbFormat == 0) return S_OK;
          am->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(am->cbFormat));
          std::memcpy(am->pbFormat, &wave, std::min<size_t>(sizeof wave, am->cbFormat));
          return S_OK;
        },
        .createEvent = [](LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name) -> HANDLE {
          return FAILED(Refusal("CreateEventW")) ? nullptr : CreateEventW(a, manual, initial, name);
        },
        .createSample = [](IMFSample** out) -> HRESULT {
          return FAILED(Refusal("MFCreateSample")) ? Refusal("MFCreateSample") : MFCreateSample(out);
        },
        .createMemoryBuffer = [](DWORD length, IMFMediaBuffer** out) -> HRESULT {
          return FAILED(Refusal("MFCreateMemoryBuffer")) ? Refusal("MFCreateMemoryBuffer") : MFCreateMemoryBuffer(length, out);
        },
    };
  }
};

inline std::string ErrorLine(const std::string& text) { return "kx_Traxel error [Media Foundation ]: " + text + "\n"; }

}  // namespace kx::test
