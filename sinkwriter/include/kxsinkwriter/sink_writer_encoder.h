// SinkWriterEncoder: the object behind every single-stream file handle.
//
// It owns its own copy of the host's EncodeParams and a Media Foundation sink
// writer opened on the output path. Init adds the video stream and then the
// audio stream (output type for the file, YV12 / PCM input type), the write
// operations wrap one host frame into one sample each, and Finish completes
// the file on the calling (close) thread: it finalizes the writer unless
// FlushEncode did so already, waits for the writer's completion callback and
// puts the XMP packet into the finished file. Destruction only releases.
//
// Threads: construction, Init and SetXmpString run on the creating thread,
// the writes on the host's writing thread, Finish and destruction on the
// close thread;
// the host serialises all calls on one object. The completion callback runs
// on a Media Foundation thread and touches nothing but the event.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

#include "kxplatform/mf.h"
#include "kxplatform/scoped.h"

// The SDK's interfaces have no virtual destructor; the callback is destroyed
// only through its own Release, never through an interface pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// The completion callback handed to the sink writer: signals the encoder's
// finalize event when the writer reports that finalizing is complete.
class CMFSinkWriterCallback : public IMFSinkWriterCallback {
 public:
  // Reference count 1; `hEvent` belongs to the encoder and may be null.
  explicit CMFSinkWriterCallback(HANDLE hEvent);

  CMFSinkWriterCallback(const CMFSinkWriterCallback&) = delete;
  CMFSinkWriterCallback& operator=(const CMFSinkWriterCallback&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE OnFinalize(HRESULT hrStatus) override;
  HRESULT STDMETHODCALLTYPE OnMarker(DWORD dwStreamIndex, LPVOID pvContext) override;

  // The status the writer reported through the last OnFinalize (S_OK
  // before any). Read after the finalize event was signalled.
  HRESULT FinalizeStatus() const { return m_finalizeStatus.load(std::memory_order_acquire); }

  // Writes "release \n" to the log. Reached only through Release.
  virtual ~CMFSinkWriterCallback();

 private:
  std::atomic<ULONG> m_refCount;
  HANDLE m_hEvent;
  std::atomic<HRESULT> m_finalizeStatus;
};

#pragma GCC diagnostic pop

// The platform entry points through which the encoder obtains its sink
// writer, its candidate audio output types (and their WAVEFORMATEX view), its
// finalize event and its samples. The defaults are the platform's own functions; a test
// hands in fakes.
struct SinkWriterEntryPoints {
  decltype(&MFCreateSinkWriterFromURL) createSinkWriterFromURL;
  decltype(&MFTranscodeGetAudioOutputAvailableTypes) transcodeGetAudioOutputAvailableTypes;
  decltype(&MFInitAMMediaTypeFromMFMediaType) initAMMediaTypeFromMFMediaType;
  decltype(&CreateEventW) createEvent;
  decltype(&MFCreateSample) createSample;
  decltype(&MFCreateMemoryBuffer) createMemoryBuffer;

  static SinkWriterEntryPoints Platform();
};

class SinkWriterEncoder {
 public:
  // Longest output path, in wide characters, that Init accepts.
  static constexpr size_t kMaxPathChars = 4095;

  // Frame rate as a ratio of two 32-bit numbers (numerator first).
  struct FrameRatio {
    UINT32 num;
    UINT32 den;
  };

  // The encoder's copy of the host record; the host's record is only read.
  explicit SinkWriterEncoder(const EncodeParams& hostParams);
  SinkWriterEncoder(const EncodeParams& hostParams, const SinkWriterEntryPoints& entryPoints);
  // Releases everything; finishes nothing (the close path calls Finish
  // first). The writer holds the last reference to the callback, so
  // "release \n" is logged when the writer goes.
  ~SinkWriterEncoder();

  SinkWriterEncoder(const SinkWriterEncoder&) = delete;
  SinkWriterEncoder& operator=(const SinkWriterEncoder&) = delete;

  // Opens the sink writer on the wide, NUL-terminated path, adds the streams
  // and begins writing. 1 when ready for samples, 0 on failure (the object
  // is then only destroyed). Called once, right after construction.
  int Init(const WCHAR* pFilename);

  // Stores the XMP packet that destruction puts into the finished file.
  void SetXmpString(const char* data, size_t length);

  // Ends the segment of all streams and finalizes the writer (completion is
  // reported later through the callback). S_OK when there is no writer.
  HRESULT FlushEncode();

  // Completes the file: unless FlushEncode did so, ends the segment and
  // finalizes; waits (no time-out) for the writer's OnFinalize; logs a
  // finalize that failed late; then, unless the file was finished by the
  // host's finish request, puts the XMP packet in. Returns the first failure
  // (a refused call or the writer's finalize status), S_OK when there is no
  // writer. A failed XMP injection is only logged. Once only: later calls
  // return the first result and do nothing.
  HRESULT Finish();

  // 1 when one sample was written, 0 when nothing was written. A video frame
  // whose duration is the finish request (-101) finalizes the file instead.
  int EncodeVideoFrame(const MediaFrame* pFrame);
  // PCM is one continuous byte stream: a block that does not end on a whole
  // PCM frame leaves its trailing bytes to the next block, so every sample
  // holds whole frames. A block too small to complete a frame is only kept
  // (1, nothing written yet).
  int EncodeAudioFrame(const MediaFrame* pFrame);

  // Stream set-up, called by Init in this order (video, then audio).
  HRESULT CreateVideoMediaType();
  HRESULT CreateAudioMediaType();

  // Whole rates over 1; 23.976, 29.97 and 59.94 as NTSC ratios; every other
  // fractional rate rounded to the nearest whole rate. A rate that is not a
  // number or does not fit 32 bits gives 0/1.
  static FrameRatio FrameRateToRatio(double frameRate);

  // One new sample holding one new memory buffer of `length` bytes.
  HRESULT CreateEmptySample(kx::ComPtr<IMFSample>& sample, kx::ComPtr<IMFMediaBuffer>& buffer, UINT32 length);

  // Copies one plane: (width in bytes, rows, plane index of the host frame).
  using PlaneCopy = std::function<void(UINT32 width, UINT32 height, int plane)>;
  // Calls `copyPlane` for the three planes in YV12 order: Y (0), V (2), U (1).
  static bool CopyYV12Planes(const PlaneCopy& copyPlane, UINT32 W, UINT32 H);

  // Read-only views of the state, for the entry points and for tests.
  const EncodeParams& Params() const { return encParam; }
  IMFSinkWriter* SinkWriter() const { return mfsinkwriter.Get(); }
  DWORD AudioStreamIndex() const { return audioStreamIndex; }
  DWORD VideoStreamIndex() const { return videoStreamIndex; }
  FrameRatio FrameRate() const { return {num, den}; }
  bool Finalized() const { return bFinalized != 0; }
  const std::vector<uint8_t>& XmpData() const { return xmpData; }
  const std::string& FileName() const { return strFileName; }

 private:
  // Checks the path and converts it to the ANSI code page into `narrow`.
  static bool ConvertFileName(const WCHAR* pFilename, std::string* narrow);

  // The work of Init, Finish and the two writes: the first failure's
  // HRESULT (already logged), S_OK when done.
  HRESULT OpenWriter(const WCHAR* pFilename);
  HRESULT FinishWriter();
  HRESULT WriteVideoSample(const MediaFrame& frame);
  HRESULT WriteAudioSample(const MediaFrame& frame);
  // One audio sample of `fromCarry` carried bytes and the block's first
  // `fromBlock` bytes.
  HRESULT WritePcm(const MediaFrame& frame, int64_t fromCarry, int64_t fromBlock, int64_t blockAlign);

  EncodeParams encParam;
  kx::ComPtr<IMFSinkWriter> mfsinkwriter;
  kx::ComPtr<IMFSinkWriterEx> mfsinkwriterEx;
  DWORD audioStreamIndex;
  DWORD videoStreamIndex;
  UINT32 den;
  UINT32 num;
  UINT32 bFinalized;
  kx::ComPtr<CMFSinkWriterCallback> pCallback;
  kx::ScopedHandle hFinalizeEvent;
  std::vector<uint8_t> xmpData;
  std::string strFileName;
  SinkWriterEntryPoints entryPoints;
  // The start of a PCM frame that the last audio block ended in (fewer
  // bytes than one frame); it begins the next audio sample.
  std::vector<uint8_t> pcmCarry;
  // The result of the first Finish.
  std::optional<HRESULT> finishStatus;
};
