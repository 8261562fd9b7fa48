// The platform as the sink-writer encoder sees it, faked: a sink writer that
// records what it is asked and refuses any call on demand, the list of an
// encoder family's audio output types (in a collection of the platform's),
// their WAVEFORMATEX view, the event
// and the sample factories. One FakePlatform at a time routes the entry
// points to itself.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_com.h"
#include "host_records.h"
#include "kxdiag/log.h"
#include "kxplatform/scoped.h"
#include "kxsinkwriter/sink_writer_encoder.h"
#include "log_capture.h"
#include "wide_text.h"

namespace kx::test {

struct SampleRecord {
  LONGLONG time = 0, duration = 0;
  std::vector<uint8_t> bytes;  // the buffer's current length
};

// Everything a fake writer saw, kept by the test after the writer is gone.
struct WriterRecord {
  std::vector<std::string> calls;  // "AddStream", "WriteSample(1)", ...
  std::vector<ComPtr<IMFMediaType>> outputTypes;
  std::vector<SampleRecord> samples;
  std::map<std::string, HRESULT> refuse;  // method -> result instead of the work
  // Whether the writer answers for IMFSinkWriterEx, calls OnFinalize from a
  // thread of its own, found the callback, and is gone.
  bool offersEx = true, finalizeOnThread = false, hadCallback = false, destroyed = false;
  HRESULT finalizeStatus = S_OK;
  UINT32 lowLatency = 0;
};

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
  HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD index, IMFMediaType*, IMFAttributes*) override {
    return Enter("SetInputMediaType", index);
  }
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
  HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD index) override {
    return Enter("NotifyEndOfSegment", index);
  }
  HRESULT STDMETHODCALLTYPE Finalize() override {
    if (const HRESULT hr = Enter("Finalize"); FAILED(hr) || !callback_) return hr;
    if (!r_->finalizeOnThread) return callback_->OnFinalize(r_->finalizeStatus), S_OK;
    if (finalizer_.joinable()) finalizer_.join();
    finalizer_ = std::thread([c = callback_, s = r_->finalizeStatus] { c->OnFinalize(s); });
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
    const auto refusal = r_->refuse.find(method);
    return refusal == r_->refuse.end() ? S_OK : refusal->second;
  }
  std::shared_ptr<WriterRecord> r_;
  ComPtr<IMFSinkWriterCallback> callback_;
  std::thread finalizer_;
};

// One candidate as an encoder family lists it: channels, rate, bits, bytes/s.
struct AudioCandidate {
  UINT32 channels, sampleRate, bitsPerSample, avgBytesPerSec;
};

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
  HRESULT createResult = S_OK, listResult = S_OK, sampleResult = S_OK, bufferResult = S_OK;
  int conversions = 0, conversionFailsAt = -1;  // 0-based conversion that is refused
  GUID listedSubtype{};
  UINT32 formatBlockBytes = 18;  // cbFormat handed back; less is a short block
  bool eventFails = false;

  FakePlatform() { current = this; }
  ~FakePlatform() { current = nullptr; }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;
  static inline FakePlatform* current = nullptr;

  SinkWriterEntryPoints EntryPoints() const {
    return {
        .createSinkWriterFromURL = [](LPCWSTR, IMFByteStream*, IMFAttributes* attributes, IMFSinkWriter** out) -> HRESULT {
          FakePlatform& p = *current;
          ComPtr<IMFSinkWriterCallback> callback;
          p.writer->hadCallback = SUCCEEDED(attributes->GetUnknown(
              MF_SINK_WRITER_ASYNC_CALLBACK, IID_IMFSinkWriterCallback, reinterpret_cast<void**>(&callback)));
          if (FAILED(attributes->GetUINT32(MF_LOW_LATENCY, &p.writer->lowLatency))) p.writer->lowLatency = 0;
          if (FAILED(p.createResult)) return p.createResult;
          *out = new FakeSinkWriter(p.writer, std::move(callback));
          return S_OK;
        },
        .transcodeGetAudioOutputAvailableTypes = [](REFGUID subtype, DWORD, IMFAttributes*, IMFCollection** out) -> HRESULT {
          FakePlatform& p = *current;
          p.listedSubtype = subtype;
          ComPtr<IMFCollection> list;
          HRESULT hr = FAILED(p.listResult) ? p.listResult : MFCreateCollection(&list);
          for (const ComPtr<IUnknown>& type : p.audioTypes) hr = SUCCEEDED(hr) ? list->AddElement(type.Get()) : hr;
          if (SUCCEEDED(hr)) *out = list.Detach();
          return hr;
        },
        .initAMMediaTypeFromMFMediaType = [](IMFMediaType* type, GUID, AM_MEDIA_TYPE* am) -> HRESULT {
          FakePlatform& p = *current;
          if (p.conversions++ == p.conversionFailsAt) return MF_E_INVALIDMEDIATYPE;
          WAVEFORMATEX wave{};
          wave.nChannels = static_cast<WORD>(MFGetAttributeUINT32(type, MF_MT_AUDIO_NUM_CHANNELS, 0));
          wave.nSamplesPerSec = MFGetAttributeUINT32(type, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
          wave.wBitsPerSample = static_cast<WORD>(MFGetAttributeUINT32(type, MF_MT_AUDIO_BITS_PER_SAMPLE, 0));
          wave.nAvgBytesPerSec = MFGetAttributeUINT32(type, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0);
          *am = AM_MEDIA_TYPE{};
          am->cbFormat = p.formatBlockBytes;
          if (p.formatBlockBytes == 0) return S_OK;
          am->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(p.formatBlockBytes));
          std::memcpy(am->pbFormat, &wave, std::min<size_t>(sizeof wave, p.formatBlockBytes));
          return S_OK;
        },
        .createEvent = [](LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name) -> HANDLE {
          return current->eventFails ? nullptr : CreateEventW(a, manual, initial, name);
        },
        .createSample = [](IMFSample** out) -> HRESULT {
          return FAILED(current->sampleResult) ? current->sampleResult : MFCreateSample(out);
        },
        .createMemoryBuffer = [](DWORD length, IMFMediaBuffer** out) -> HRESULT {
          return FAILED(current->bufferResult) ? current->bufferResult : MFCreateMemoryBuffer(length, out);
        },
    };
  }
};

// The exact error (or info) record of the sink-writer path for a call.
inline std::string FailureLine(const std::string& callText, HRESULT hr, const char* level = "error") {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  return std::string("kx_Traxel ") + level + " [Media Foundation ]: " + callText + " failed,  " +
         ToUtf8(HresultText(hr).c_str()) + " (" + code + ")\n";
}
inline std::string ErrorLine(const std::string& text) {
  return "kx_Traxel error [Media Foundation ]: " + text + "\n";
}

}  // namespace kx::test
