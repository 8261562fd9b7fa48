// Small fake COM objects that stand in for the platform's sink writer and
// for the list of an encoder family's audio output types, plus log capture.
//
// A FakeSinkWriter writes everything it is asked into a WriterRecord that
// the test keeps (the writer itself dies with the encoder's last reference,
// as a real one does), refuses any call on demand and reports completion of
// Finalize through the callback it found in the creation attributes.
#pragma once

#include <cstdint>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <kx_traxel/kx_traxel.h>

#include "kxplatform/mf.h"
#include "kxsinkwriter/sink_writer_encoder.h"

// HRESULT checks for the test bodies (GoogleTest has them on Windows only).
#define ASSERT_SUCCEEDED(expr) ASSERT_TRUE(SUCCEEDED(expr)) << #expr
#define EXPECT_FAILED(expr) EXPECT_TRUE(FAILED(expr)) << #expr

namespace sinkwriter_test {

using WideString = std::basic_string<WCHAR>;

struct SampleRecord {
  DWORD stream = 0;
  LONGLONG time = 0;
  LONGLONG duration = 0;
  std::vector<uint8_t> bytes;  // the current length of the sample's buffer
};

// Everything a fake writer saw, kept by the test after the writer is gone.
struct WriterRecord {
  // Calls in order, e.g. "AddStream", "SetInputMediaType(1)", "WriteSample(0)".
  std::vector<std::string> calls;
  // Output and input type of each stream, by index.
  std::vector<kx::ComPtr<IMFMediaType>> outputTypes;
  std::vector<kx::ComPtr<IMFMediaType>> inputTypes;
  std::vector<SampleRecord> samples;
  // Method name -> result to give instead of doing the work.
  std::map<std::string, HRESULT> refuse;
  // The writer answers QueryInterface for IMFSinkWriterEx.
  bool offersEx = true;
  // OnFinalize is called from a thread of the writer's own (else inside
  // Finalize).
  bool finalizeOnThread = false;
  // The status OnFinalize reports.
  HRESULT finalizeStatus = S_OK;
  // What the creation attributes held.
  bool hadCallback = false;
  UINT32 lowLatency = 0;
  WideString url;
  bool writerDestroyed = false;
};

class FakeSinkWriter final : public IMFSinkWriterEx {
 public:
  FakeSinkWriter(std::shared_ptr<WriterRecord> record, kx::ComPtr<IMFSinkWriterCallback> callback);
  ~FakeSinkWriter();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE AddStream(IMFMediaType* pTargetMediaType, DWORD* pdwStreamIndex) override;
  HRESULT STDMETHODCALLTYPE SetInputMediaType(DWORD dwStreamIndex, IMFMediaType* pInputMediaType,
                                              IMFAttributes* pEncodingParameters) override;
  HRESULT STDMETHODCALLTYPE BeginWriting() override;
  HRESULT STDMETHODCALLTYPE WriteSample(DWORD dwStreamIndex, IMFSample* pSample) override;
  HRESULT STDMETHODCALLTYPE SendStreamTick(DWORD dwStreamIndex, LONGLONG llTimestamp) override;
  HRESULT STDMETHODCALLTYPE PlaceMarker(DWORD dwStreamIndex, LPVOID pvContext) override;
  HRESULT STDMETHODCALLTYPE NotifyEndOfSegment(DWORD dwStreamIndex) override;
  HRESULT STDMETHODCALLTYPE Flush(DWORD dwStreamIndex) override;
  HRESULT STDMETHODCALLTYPE Finalize() override;
  HRESULT STDMETHODCALLTYPE GetServiceForStream(DWORD dwStreamIndex, REFGUID guidService, REFIID riid,
                                                LPVOID* ppvObject) override;
  HRESULT STDMETHODCALLTYPE GetStatistics(DWORD dwStreamIndex, MF_SINK_WRITER_STATISTICS* pStats) override;
  HRESULT STDMETHODCALLTYPE GetTransformForStream(DWORD dwStreamIndex, DWORD dwTransformIndex,
                                                  GUID* pGuidCategory, IMFTransform** ppTransform) override;

 private:
  // Records the call; the refusal the test asked for, else S_OK.
  HRESULT Enter(const std::string& call, const std::string& method);

  std::atomic<ULONG> refCount_{1};
  std::shared_ptr<WriterRecord> record_;
  kx::ComPtr<IMFSinkWriterCallback> callback_;
  std::thread finalizer_;
};

// A list of candidate output types, in the order given.
class FakeCollection final : public IMFCollection {
 public:
  explicit FakeCollection(std::vector<kx::ComPtr<IUnknown>> elements);
  ~FakeCollection();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetElementCount(DWORD* pcElements) override;
  HRESULT STDMETHODCALLTYPE GetElement(DWORD dwElementIndex, IUnknown** ppUnkElement) override;
  HRESULT STDMETHODCALLTYPE AddElement(IUnknown* pUnkElement) override;
  HRESULT STDMETHODCALLTYPE RemoveElement(DWORD dwElementIndex, IUnknown** ppUnkElement) override;
  HRESULT STDMETHODCALLTYPE InsertElementAt(DWORD dwIndex, IUnknown* pUnknown) override;
  HRESULT STDMETHODCALLTYPE RemoveAllElements() override;

 private:
  std::atomic<ULONG> refCount_{1};
  std::vector<kx::ComPtr<IUnknown>> elements_;
};

// A COM object that is not a media type (for a collection element that
// cannot be used).
class NotAMediaType final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  virtual ~NotAMediaType() = default;

 private:
  std::atomic<ULONG> refCount_{1};
};

// One candidate audio output type as an encoder family lists it.
struct AudioCandidate {
  UINT32 channels;
  UINT32 sampleRate;
  UINT32 bitsPerSample;
  UINT32 avgBytesPerSec;
};
kx::ComPtr<IUnknown> MakeAudioType(const GUID& subtype, const AudioCandidate& candidate);

// The platform as the fakes present it. One test at a time installs it.
struct FakePlatform {
  // The writer the next create hands out records here.
  std::shared_ptr<WriterRecord> writer = std::make_shared<WriterRecord>();
  HRESULT createResult = S_OK;
  int createCalls = 0;

  std::vector<kx::ComPtr<IUnknown>> audioTypes;
  HRESULT listResult = S_OK;
  int listCalls = 0;
  GUID listedSubtype{};
  DWORD listedFlags = 0;
  bool listedWithAttributes = false;

  // The WAVEFORMATEX view of a candidate, built from its attributes in task
  // memory (the platform's MoFreeMediaType frees it).
  int conversions = 0;
  int conversionFailsAt = -1;  // 0-based call that is refused
  HRESULT conversionResult = MF_E_INVALIDMEDIATYPE;
  UINT32 formatBlockBytes = 18;  // cbFormat handed back; less is a short block

  bool eventFails = false;

  FakePlatform();
  ~FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  // Entry points that route to this object.
  SinkWriterEntryPoints EntryPoints() const;
};

// Every record the log library receives while the capture exists, as ASCII
// text (anything else becomes '?').
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;
  void Clear();

 private:
  static void Sink(void* context, const kx_wchar* text);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The exact failure record of the sink-writer path for `callText` and `hr`.
std::string FailureLine(const std::string& level, const std::string& callText, HRESULT hr);

// A host record for a file with the given streams.
struct StreamSetup {
  uint32_t videoFourCC = KX_FOURCC('W', 'M', 'V', '2');
  UINT32 width = 320;
  UINT32 height = 240;
  double frameRate = 25.0;
  UINT32 videoBitrate = 1000000;
  uint32_t audioFourCC = KX_FOURCC('W', 'M', 'A', '8');
  UINT32 sampleRate = 44100;
  UINT32 channels = 2;
  UINT32 bitsPerSample = 16;
  UINT32 audioBitrate = 128000;
  bool video = true;
  bool audio = true;
};
EncodeParams MakeParams(const StreamSetup& setup);

WideString Wide(const char* ascii);

}  // namespace sinkwriter_test
