// IMFSinkWriter over FFmpeg: MFCreateSinkWriterFromURL and the writer object.
//
// Configuration (AddStream, SetInputMediaType) happens on the caller's
// thread; SetInputMediaType chooses and opens the encoder, as the platform
// does when it negotiates its encoder's types. BeginWriting opens the output
// file, writes the container header and starts one worker per stream; until
// then the file at the path is not touched, so a writer refused during its
// configuration leaves an existing file as it was and creates none. WriteSample queues the
// sample (blocking while that stream's queue is full) and returns; the
// workers encode and hand their packets to the muxer, which interleaves them.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kxplatform/scoped.h"
#include "kxplatform/com_object.h"
#include "hresult_av.h"
#include "kxplatform/mf.h"
#include "sink_writer_hooks.h"

#include "av_muxer.h"
#include "av_stream_encoder.h"

extern "C" {
#include <libavutil/log.h>
}

using kx::ComPtr;

namespace kx::av {
namespace {

struct SubtypeCodec {
  const GUID* subtype;
  AVCodecID codecId;
  bool isVideo;
};

const SubtypeCodec kOutputSubtypes[] = {
    {&MFVideoFormat_WMV1, AV_CODEC_ID_WMV1, true},   {&MFVideoFormat_WMV2, AV_CODEC_ID_WMV2, true},
    {&MFVideoFormat_WMV3, AV_CODEC_ID_WMV3, true},   {&MFVideoFormat_WVC1, AV_CODEC_ID_VC1, true},
    {&MFVideoFormat_H264, AV_CODEC_ID_H264, true},   {&MFVideoFormat_HEVC, AV_CODEC_ID_HEVC, true},
    {&MFAudioFormat_WMAudioV8, AV_CODEC_ID_WMAV2, false}, {&MFAudioFormat_WMAudioV9, AV_CODEC_ID_WMAPRO, false},
    {&MFAudioFormat_AAC, AV_CODEC_ID_AAC, false},
};

const SubtypeCodec* FindOutputSubtype(const GUID& subtype) {
  for (const SubtypeCodec& entry : kOutputSubtypes) {
    if (*entry.subtype == subtype) return &entry;
  }
  return nullptr;
}

// Largest picture side the layer accepts (larger sizes overflow the 32-bit
// buffer lengths of samples long before an encoder would refuse them).
constexpr UINT32 kMaxPictureSide = 16384;

// Times in 100-ns units after the shift of the time line can leave the
// 64-bit range; they are worked out in 128 bits.
__extension__ typedef __int128 WideTime;

// `time100ns` in `base`, rounded to the nearest (halves away from zero);
// false when the result does not fit in 64 bits.
bool ToTimeBase(WideTime time100ns, AVRational base, int64_t* out) {
  if (base.num <= 0 || base.den <= 0) return false;
  const WideTime numerator = time100ns * base.den;  // below 2^96
  const WideTime denominator = static_cast<WideTime>(base.num) * 10000000;
  WideTime quotient = numerator / denominator;
  const WideTime remainder = numerator % denominator;
  if (2 * (remainder < 0 ? -remainder : remainder) >= denominator) quotient += numerator < 0 ? -1 : 1;
  if (quotient > INT64_MAX || quotient < INT64_MIN) return false;
  *out = static_cast<int64_t>(quotient);
  return true;
}

// What SetInputMediaType returns when an encoder does not open: the types
// were refused, unless there was no encoder or no memory.
HRESULT OpenFailure(int error) {
  if (error == AVERROR_ENCODER_NOT_FOUND) return MF_E_TOPO_CODEC_NOT_FOUND;
  return error == AVERROR(ENOMEM) ? E_OUTOFMEMORY : MF_E_INVALIDMEDIATYPE;
}

void ReleaseMediaBuffer(void* buffer) { static_cast<IMFMediaBuffer*>(buffer)->Release(); }

class SinkWriter final : public kx::mf::ComObject<IMFSinkWriterEx> {
 public:
  SinkWriter(std::unique_ptr<AvMuxer> muxer, ContainerKind kind, ComPtr<IMFSinkWriterCallback> callback,
             bool lowLatency)
      : muxer_(std::move(muxer)), kind_(kind), callback_(std::move(callback)), lowLatency_(lowLatency) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return kx::mf::QueryInterfaceOf<SinkWriter, IMFSinkWriterEx, IMFSinkWriter>(this, riid, ppv);
  }

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
  HRESULT STDMETHODCALLTYPE GetTransformForStream(DWORD dwStreamIndex, DWORD dwTransformIndex, GUID* pGuidCategory,
                                                  IMFTransform** ppTransform) override;

 protected:
  ~SinkWriter() override;

 private:
  enum class State { kConfiguring, kWriting, kFinalizing };

  struct Stream {
    ComPtr<IMFMediaType> outputType;
    const SubtypeCodec* codec = nullptr;
    VideoEncoderConfig video;
    AudioEncoderConfig audio;
    size_t imageSize = 0;  // bytes of one input picture
    std::unique_ptr<AvStreamEncoder> encoder;  // opened by SetInputMediaType
    // Known from BeginWriting: the time base the file keeps the stream in.
    AVRational fileTimeBase = {0, 1};
    // Serialises the writes of the stream: its times are checked and its
    // samples queued in one order.
    std::mutex writeMutex;
    // The time of the last sample taken (pictures: in fileTimeBase; PCM: in
    // sample frames), and the same in fileTimeBase.
    bool anySampleTaken = false;
    int64_t lastTime = 0;
    int64_t lastFileTime = 0;
    // The file times of the last pictures taken, up to kReorderWindow - 1.
    std::deque<int64_t> recentFileTimes;
  };

  // Puts a sample's time on the file's time line and checks that the
  // stream can take it: strictly after the stream's previous sample, and a
  // time the container holds. Sets the block's times.
  HRESULT TakeSampleTime(Stream& stream, IMFSample* sample, LONGLONG time100ns, InputBlock* block);

  HRESULT ConfigureVideoInput(Stream& stream, IMFMediaType* input);
  HRESULT ConfigureAudioInput(Stream& stream, IMFMediaType* input);
  // Drains every encoder, writes the trailer and closes the file.
  HRESULT FinishFile();
  // The encoders of one stream or of all (MF_SINK_WRITER_ALL_STREAMS), for
  // the calls allowed while writing; an error for a bad index or state.
  HRESULT WritingStreams(DWORD index, std::vector<AvStreamEncoder*>* encoders);

  std::mutex mutex_;  // guards state_ and streams_ (not held while blocking)
  std::unique_ptr<AvMuxer> muxer_;
  const ContainerKind kind_;
  const ComPtr<IMFSinkWriterCallback> callback_;
  // Accepted and kept, but it changes nothing in the encoders: see
  // AvStreamEncoder::OpenVideo.
  const bool lowLatency_;
  State state_ = State::kConfiguring;
  bool fileBegun_ = false;  // BeginWriting has added streams to the muxer
  std::vector<std::unique_ptr<Stream>> streams_;
  // A file's time line starts at zero (MP4 presents nothing before it: its
  // edit lists hide it). When the first sample of the file is stamped
  // before zero, the whole time line, every stream alike, is shifted so
  // that it starts at zero; a later sample before zero is refused.
  bool timeLineStarted_ = false;
  WideTime timeLineShift100ns_ = 0;
  std::thread finalizer_;
};

SinkWriter::~SinkWriter() {
  if (finalizer_.joinable()) {
    // The callback may drop the last reference from inside OnFinalize.
    if (finalizer_.get_id() == std::this_thread::get_id()) {
      finalizer_.detach();
    } else {
      finalizer_.join();
    }
  }
  // A writer released without Finalize still closes its file properly, so
  // what was written plays.
  if (state_ == State::kWriting) FinishFile();
  streams_.clear();
  muxer_.reset();
}

HRESULT SinkWriter::AddStream(IMFMediaType* pTargetMediaType, DWORD* pdwStreamIndex) {
  return ComBoundary([&]() -> HRESULT {
    if (!pTargetMediaType) return E_INVALIDARG;
    if (!pdwStreamIndex) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kConfiguring) return MF_E_INVALIDREQUEST;

    GUID major = GUID_NULL;
    GUID subtype = GUID_NULL;
    if (FAILED(pTargetMediaType->GetGUID(MF_MT_MAJOR_TYPE, &major)) ||
        FAILED(pTargetMediaType->GetGUID(MF_MT_SUBTYPE, &subtype))) {
      return MF_E_INVALIDMEDIATYPE;
    }
    const SubtypeCodec* codec = FindOutputSubtype(subtype);
    if (!codec || major != (codec->isVideo ? MFMediaType_Video : MFMediaType_Audio)) return MF_E_INVALIDMEDIATYPE;
    if (!ContainerCanHold(kind_, codec->codecId)) return MF_E_INVALIDMEDIATYPE;

    auto stream = std::make_unique<Stream>();
    stream->codec = codec;
    if (codec->isVideo) {
      UINT32 width = 0, height = 0, rateNum = 0, rateDen = 0;
      if (FAILED(MFGetAttributeSize(pTargetMediaType, MF_MT_FRAME_SIZE, &width, &height)) ||
          FAILED(MFGetAttributeRatio(pTargetMediaType, MF_MT_FRAME_RATE, &rateNum, &rateDen))) {
        return MF_E_INVALIDMEDIATYPE;
      }
      if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide || rateNum == 0 ||
          rateDen == 0 || rateNum > INT32_MAX || rateDen > INT32_MAX) {
        return MF_E_INVALIDMEDIATYPE;
      }
      stream->video.codecId = codec->codecId;
      stream->video.width = static_cast<int>(width);
      stream->video.height = static_cast<int>(height);
      stream->video.frameRate = av_make_q(static_cast<int>(rateNum), static_cast<int>(rateDen));
      stream->video.bitRate = MFGetAttributeUINT32(pTargetMediaType, MF_MT_AVG_BITRATE, 0);
    } else {
      const UINT32 sampleRate = MFGetAttributeUINT32(pTargetMediaType, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0);
      const UINT32 channels = MFGetAttributeUINT32(pTargetMediaType, MF_MT_AUDIO_NUM_CHANNELS, 0);
      if (sampleRate == 0 || sampleRate > 384000 || channels == 0 || channels > 8) return MF_E_INVALIDMEDIATYPE;
      stream->audio.codecId = codec->codecId;
      stream->audio.sampleRate = static_cast<int>(sampleRate);
      stream->audio.channels = static_cast<int>(channels);
      stream->audio.bitRate = int64_t{MFGetAttributeUINT32(pTargetMediaType, MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 0)} * 8;
    }
    // Keep a copy: the caller may change its type afterwards.
    HRESULT hr = MFCreateMediaType(&stream->outputType);
    if (SUCCEEDED(hr)) hr = pTargetMediaType->CopyAllItems(stream->outputType.Get());
    if (FAILED(hr)) return hr;
    *pdwStreamIndex = static_cast<DWORD>(streams_.size());
    streams_.push_back(std::move(stream));
    return S_OK;
  });
}

HRESULT SinkWriter::ConfigureVideoInput(Stream& stream, IMFMediaType* input) {
  GUID subtype = GUID_NULL;
  if (FAILED(input->GetGUID(MF_MT_SUBTYPE, &subtype))) return MF_E_INVALIDMEDIATYPE;
  VideoEncoderConfig config = stream.video;
  config.timeBase = VideoTimeBase(kind_);
  if (subtype == MFVideoFormat_YV12) {
    config.input = VideoInputFormat::kYV12;
  } else if (subtype == MFVideoFormat_I420 || subtype == MFVideoFormat_IYUV) {
    config.input = VideoInputFormat::kI420;
  } else if (subtype == MFVideoFormat_NV12) {
    config.input = VideoInputFormat::kNV12;
    const AVCodec* encoder = AvStreamEncoder::FindEncoder(config.codecId);
    bool takesNv12 = false;
    for (const AVPixelFormat* format = encoder->pix_fmts; format && *format != AV_PIX_FMT_NONE; ++format) {
      takesNv12 = takesNv12 || *format == AV_PIX_FMT_NV12;
    }
    if (!takesNv12) return MF_E_INVALIDMEDIATYPE;
  } else {
    return MF_E_INVALIDMEDIATYPE;
  }
  // The encoders neither scale nor change the frame rate.
  UINT32 width = 0, height = 0;
  if (FAILED(MFGetAttributeSize(input, MF_MT_FRAME_SIZE, &width, &height)) ||
      width != static_cast<UINT32>(config.width) || height != static_cast<UINT32>(config.height)) {
    return MF_E_INVALIDMEDIATYPE;
  }
  UINT32 rateNum = 0, rateDen = 0;
  if (SUCCEEDED(MFGetAttributeRatio(input, MF_MT_FRAME_RATE, &rateNum, &rateDen)) &&
      (rateDen == 0 || uint64_t{rateNum} * static_cast<uint64_t>(config.frameRate.den) !=
                           uint64_t{rateDen} * static_cast<uint64_t>(config.frameRate.num))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  // 4:2:0 pictures need even sizes.
  if (width % 2 != 0 || height % 2 != 0) return MF_E_INVALIDMEDIATYPE;

  auto encoder = std::make_unique<AvStreamEncoder>();
  const int result = encoder->OpenVideo(config, kind_ == ContainerKind::kMp4);
  if (result < 0) return OpenFailure(result);
  stream.video = config;
  stream.imageSize = VideoImageSize(config.input, config.width, config.height);
  stream.encoder = std::move(encoder);
  return S_OK;
}

HRESULT SinkWriter::ConfigureAudioInput(Stream& stream, IMFMediaType* input) {
  GUID subtype = GUID_NULL;
  if (FAILED(input->GetGUID(MF_MT_SUBTYPE, &subtype))) return MF_E_INVALIDMEDIATYPE;
  AudioEncoderConfig config = stream.audio;
  const UINT32 bits = MFGetAttributeUINT32(input, MF_MT_AUDIO_BITS_PER_SAMPLE, 0);
  if (subtype == MFAudioFormat_PCM) {
    switch (bits) {
      case 8: config.input = PcmFormat::kU8; break;
      case 16: config.input = PcmFormat::kS16; break;
      case 24: config.input = PcmFormat::kS24; break;
      case 32: config.input = PcmFormat::kS32; break;
      default: return MF_E_INVALIDMEDIATYPE;
    }
  } else if (subtype == MFAudioFormat_Float && bits == 32) {
    config.input = PcmFormat::kFloat;
  } else {
    return MF_E_INVALIDMEDIATYPE;
  }
  // The encoders do not resample or remix.
  if (MFGetAttributeUINT32(input, MF_MT_AUDIO_SAMPLES_PER_SECOND, 0) != static_cast<UINT32>(config.sampleRate) ||
      MFGetAttributeUINT32(input, MF_MT_AUDIO_NUM_CHANNELS, 0) != static_cast<UINT32>(config.channels)) {
    return MF_E_INVALIDMEDIATYPE;
  }
  const UINT32 blockAlign = MFGetAttributeUINT32(input, MF_MT_AUDIO_BLOCK_ALIGNMENT, 0);
  if (blockAlign != 0 && blockAlign != static_cast<UINT32>(PcmBlockAlign(config.input, config.channels))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  auto encoder = std::make_unique<AvStreamEncoder>();
  const int result = encoder->OpenAudio(config, kind_ == ContainerKind::kMp4);
  if (result < 0) return OpenFailure(result);
  stream.audio = config;
  stream.encoder = std::move(encoder);
  return S_OK;
}

HRESULT SinkWriter::SetInputMediaType(DWORD dwStreamIndex, IMFMediaType* pInputMediaType,
                                      IMFAttributes* pEncodingParameters) {
  return ComBoundary([&]() -> HRESULT {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwStreamIndex >= streams_.size()) return MF_E_INVALIDSTREAMNUMBER;
    if (!pInputMediaType) return E_INVALIDARG;
    if (state_ != State::kConfiguring) return MF_E_INVALIDREQUEST;
    Stream& stream = *streams_[dwStreamIndex];
    GUID major = GUID_NULL;
    if (FAILED(pInputMediaType->GetGUID(MF_MT_MAJOR_TYPE, &major)) ||
        major != (stream.codec->isVideo ? MFMediaType_Video : MFMediaType_Audio)) {
      return MF_E_INVALIDMEDIATYPE;
    }
    // No encoder for the output format: WMV3, VC-1 and WMA 9 Professional
    // have no open implementation.
    if (!AvStreamEncoder::FindEncoder(stream.codec->codecId)) return MF_E_TOPO_CODEC_NOT_FOUND;
    return stream.codec->isVideo ? ConfigureVideoInput(stream, pInputMediaType)
                                 : ConfigureAudioInput(stream, pInputMediaType);
  });
}

HRESULT SinkWriter::BeginWriting() {
  return ComBoundary([&]() -> HRESULT {
    std::lock_guard<std::mutex> lock(mutex_);
    // A BeginWriting that failed once it had begun the file is not repeated.
    if (state_ != State::kConfiguring || streams_.empty() || fileBegun_) return MF_E_INVALIDREQUEST;
    for (const auto& stream : streams_) {
      if (!stream->encoder) return MF_E_INVALIDREQUEST;
    }
    std::vector<int> muxerIndexes;
    muxerIndexes.reserve(streams_.size());
    fileBegun_ = true;
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (!parameters) return E_OUTOFMEMORY;
    int result = 0;
    for (const auto& stream : streams_) {
      int index = -1;
      result = avcodec_parameters_from_context(parameters, stream->encoder->codec());
      if (result >= 0) result = muxer_->AddStream(parameters, stream->encoder->packet_time_base(), &index);
      if (result < 0) break;
      muxerIndexes.push_back(index);
    }
    avcodec_parameters_free(&parameters);
    if (result >= 0) result = muxer_->WriteHeader();
    if (result < 0) return HresultFromAvError(result);
    for (size_t i = 0; i < streams_.size(); ++i) streams_[i]->fileTimeBase = muxer_->StreamTimeBase(muxerIndexes[i]);

    for (size_t i = 0; i < streams_.size(); ++i) {
      std::function<void(void*)> onMarker;
      if (callback_) {
        IMFSinkWriterCallback* callback = callback_.Get();
        const DWORD streamIndex = static_cast<DWORD>(i);
        onMarker = [callback, streamIndex](void* context) { callback->OnMarker(streamIndex, context); };
      }
      // A stream that cannot start leaves the writer configuring, with the
      // streams started so far: its destruction stops them and closes the
      // file they wrote to.
      result = streams_[i]->encoder->Start(muxer_.get(), muxerIndexes[i], onMarker);
      if (result < 0) return HresultFromAvError(result);
    }
    state_ = State::kWriting;
    return S_OK;
  });
}

HRESULT SinkWriter::TakeSampleTime(Stream& stream, IMFSample* sample, LONGLONG time100ns, InputBlock* block) {
  WideTime shift = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!timeLineStarted_) {
      timeLineStarted_ = true;
      if (time100ns < 0) timeLineShift100ns_ = -static_cast<WideTime>(time100ns);
    }
    shift = timeLineShift100ns_;
  }
  const WideTime shifted = static_cast<WideTime>(time100ns) + shift;
  int64_t fileTime = 0;
  if (!ToTimeBase(shifted, stream.fileTimeBase, &fileTime)) return MF_E_INVALID_TIMESTAMP;
  int64_t time = fileTime;  // pictures: the file's ticks; PCM: sample frames
  const bool video = stream.codec->isVideo;
  if (!video && !ToTimeBase(shifted, {1, stream.audio.sampleRate}, &time)) return MF_E_INVALID_TIMESTAMP;
  // Strictly after the previous sample: two pictures in one tick of the
  // file would be one time, and a file's times do not go back.
  if (stream.anySampleTaken && time <= stream.lastTime) return MF_E_INVALID_TIMESTAMP;
  // Pictures are held to the span the container keeps between a picture's
  // decoding time and its time, should the encoder reorder them.
  const bool windowFull = stream.recentFileTimes.size() == kReorderWindow - 1;
  if (!ContainerHoldsTime(kind_, stream.fileTimeBase, fileTime, stream.anySampleTaken ? &stream.lastFileTime : nullptr,
                          video && !stream.recentFileTimes.empty() ? &stream.recentFileTimes.front() : nullptr)) {
    return MF_E_INVALID_TIMESTAMP;
  }
  if (video) {
    // The sample's duration; without one (or one the file cannot keep),
    // the frame rate's.
    LONGLONG duration100ns = 0;
    int64_t duration = 0;
    if (FAILED(sample->GetSampleDuration(&duration100ns)) || duration100ns <= 0 ||
        !ToTimeBase(duration100ns, stream.fileTimeBase, &duration) || duration <= 0 || duration > INT32_MAX) {
      duration = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(stream.video.frameRate), stream.fileTimeBase));
    }
    block->streamDuration = duration;
  }
  if (video) {
    stream.recentFileTimes.push_back(fileTime);  // may throw: nothing changed yet
    if (windowFull) stream.recentFileTimes.pop_front();
  }
  block->streamTime = time;
  stream.anySampleTaken = true;
  stream.lastTime = time;
  stream.lastFileTime = fileTime;
  return S_OK;
}

HRESULT SinkWriter::WriteSample(DWORD dwStreamIndex, IMFSample* pSample) {
  return ComBoundary([&]() -> HRESULT {
    Stream* stream = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ != State::kWriting) return MF_E_INVALIDREQUEST;
      if (dwStreamIndex >= streams_.size()) return MF_E_INVALIDSTREAMNUMBER;
      stream = streams_[dwStreamIndex].get();
    }
    AvStreamEncoder* encoder = stream->encoder.get();
    const size_t imageSize = stream->imageSize;
    if (!pSample) return E_INVALIDARG;
    LONGLONG time100ns = 0;
    if (FAILED(pSample->GetSampleTime(&time100ns))) return MF_E_NO_SAMPLE_TIMESTAMP;

    // One contiguous buffer; the encoder reads it in place and lets it go
    // when it is done with it.
    DWORD bufferCount = 0;
    HRESULT hr = pSample->GetBufferCount(&bufferCount);
    if (FAILED(hr)) return hr;
    if (bufferCount == 0) return E_INVALIDARG;
    ComPtr<IMFMediaBuffer> buffer;
    hr = bufferCount == 1 ? pSample->GetBufferByIndex(0, &buffer) : pSample->ConvertToContiguousBuffer(&buffer);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    DWORD length = 0;
    {
      // The bytes stay where they are after the unlock: the buffer is held
      // (below) until the encoder is done with them.
      const kx::ScopedBufferLock lock(buffer.Get());
      if (FAILED(lock.status())) return lock.status();
      data = lock.data();
      length = lock.currentLength();
    }
    if (encoder->is_video() && length < imageSize) return MF_E_BUFFERTOOSMALL;

    // The time is checked and the sample queued under the stream's lock, so
    // that the encoder sees the times in the order they were checked in.
    std::lock_guard<std::mutex> writeLock(stream->writeMutex);
    InputBlock block(data, length, time100ns, buffer.Detach(), ReleaseMediaBuffer);
    hr = TakeSampleTime(*stream, pSample, time100ns, &block);
    if (FAILED(hr)) return hr;
    StreamCounters& counters = encoder->counters();
    counters.samplesReceived++;
    counters.lastTimeReceived = time100ns;
    const int result = encoder->Push(std::move(block));
    if (result < 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      return state_ == State::kWriting ? HresultFromAvError(result) : MF_E_INVALIDREQUEST;
    }
    return S_OK;
  });
}

HRESULT SinkWriter::WritingStreams(DWORD index, std::vector<AvStreamEncoder*>* encoders) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index != MF_SINK_WRITER_ALL_STREAMS && index >= streams_.size()) return MF_E_INVALIDSTREAMNUMBER;
  if (state_ != State::kWriting) return MF_E_INVALIDREQUEST;
  for (size_t i = 0; i < streams_.size(); ++i) {
    if (index == MF_SINK_WRITER_ALL_STREAMS || index == i) encoders->push_back(streams_[i]->encoder.get());
  }
  return S_OK;
}

HRESULT SinkWriter::SendStreamTick(DWORD dwStreamIndex, LONGLONG llTimestamp) {
  return ComBoundary([&]() -> HRESULT {
    if (dwStreamIndex == MF_SINK_WRITER_ALL_STREAMS) return MF_E_INVALIDSTREAMNUMBER;
    std::vector<AvStreamEncoder*> encoders;
    const HRESULT hr = WritingStreams(dwStreamIndex, &encoders);
    if (FAILED(hr)) return hr;
    // A gap in a stream: nothing is encoded for it, the times of the
    // following samples place them.
    encoders[0]->counters().ticksReceived++;
    encoders[0]->counters().lastTickReceived = llTimestamp;
    return S_OK;
  });
}

HRESULT SinkWriter::PlaceMarker(DWORD dwStreamIndex, LPVOID pvContext) {
  return ComBoundary([&]() -> HRESULT {
    if (dwStreamIndex == MF_SINK_WRITER_ALL_STREAMS) return MF_E_INVALIDSTREAMNUMBER;
    std::vector<AvStreamEncoder*> encoders;
    const HRESULT hr = WritingStreams(dwStreamIndex, &encoders);
    if (FAILED(hr)) return hr;
    // The marker travels behind the samples queued so far; OnMarker is called
    // once they have been encoded.
    return HresultFromAvError(encoders[0]->PushMarker(pvContext));
  });
}

HRESULT SinkWriter::NotifyEndOfSegment(DWORD dwStreamIndex) {
  return ComBoundary([&]() -> HRESULT {
    std::vector<AvStreamEncoder*> encoders;
    // The segment ends in the file only when it is finalized; samples written
    // afterwards continue it.
    return WritingStreams(dwStreamIndex, &encoders);
  });
}

HRESULT SinkWriter::Flush(DWORD dwStreamIndex) {
  return ComBoundary([&]() -> HRESULT {
    std::vector<AvStreamEncoder*> encoders;
    const HRESULT hr = WritingStreams(dwStreamIndex, &encoders);
    if (FAILED(hr)) return hr;
    for (AvStreamEncoder* encoder : encoders) encoder->DropQueued();
    return S_OK;
  });
}

HRESULT SinkWriter::FinishFile() {
  int result = 0;
  for (const auto& stream : streams_) {
    const int streamResult = stream->encoder->Finish();
    if (result == 0) result = streamResult;
  }
  const int muxResult = muxer_->Finish();
  if (result == 0) result = muxResult;
  return HresultFromAvError(result);
}

HRESULT SinkWriter::Finalize() {
  return ComBoundary([&]() -> HRESULT {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (state_ != State::kWriting) return MF_E_INVALIDREQUEST;
      state_ = State::kFinalizing;
    }
    if (!callback_) return FinishFile();
    // Asynchronous: the finish runs on a thread of its own. The thread holds
    // no reference to the writer: the last Release joins it instead, so the
    // caller's callback is never called or released after the writer is gone,
    // and a library that releases its writer before it is unloaded has no
    // code left running on this thread.
    try {
      finalizer_ = std::thread([this] {
        const HRESULT status = FinishFile();
        callback_->OnFinalize(status);
      });
    } catch (...) {
      // No thread to finish on: the writer is still writing, and its
      // destruction finishes the file if the caller does not try again.
      std::lock_guard<std::mutex> lock(mutex_);
      state_ = State::kWriting;
      return E_OUTOFMEMORY;
    }
    return S_OK;
  });
}

HRESULT SinkWriter::GetServiceForStream(DWORD dwStreamIndex, REFGUID guidService, REFIID riid, LPVOID* ppvObject) {
  return ComBoundary([&]() -> HRESULT {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwStreamIndex != MF_SINK_WRITER_MEDIASINK && dwStreamIndex >= streams_.size()) return MF_E_INVALIDSTREAMNUMBER;
    return MF_E_UNSUPPORTED_SERVICE;
  });
}

HRESULT SinkWriter::GetStatistics(DWORD dwStreamIndex, MF_SINK_WRITER_STATISTICS* pStats) {
  return ComBoundary([&]() -> HRESULT {
    if (!pStats) return E_POINTER;
    if (pStats->cb != sizeof(MF_SINK_WRITER_STATISTICS)) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwStreamIndex != MF_SINK_WRITER_ALL_STREAMS && dwStreamIndex >= streams_.size()) {
      return MF_E_INVALIDSTREAMNUMBER;
    }
    MF_SINK_WRITER_STATISTICS stats{};
    stats.cb = sizeof(stats);
    for (size_t i = 0; i < streams_.size(); ++i) {
      if (dwStreamIndex != MF_SINK_WRITER_ALL_STREAMS && dwStreamIndex != i) continue;
      if (!streams_[i]->encoder) continue;
      const StreamCounters& counters = streams_[i]->encoder->counters();
      stats.llLastTimestampReceived = std::max<LONGLONG>(stats.llLastTimestampReceived, counters.lastTimeReceived);
      stats.llLastTimestampEncoded = std::max<LONGLONG>(stats.llLastTimestampEncoded, counters.lastTimeEncoded);
      stats.llLastTimestampProcessed = std::max<LONGLONG>(stats.llLastTimestampProcessed, counters.lastTimeProcessed);
      stats.llLastStreamTickReceived = std::max<LONGLONG>(stats.llLastStreamTickReceived, counters.lastTickReceived);
      stats.qwNumSamplesReceived += counters.samplesReceived;
      stats.qwNumSamplesEncoded += counters.samplesEncoded;
      stats.qwNumSamplesProcessed += counters.samplesProcessed;
      stats.qwNumStreamTicksReceived += counters.ticksReceived;
      stats.dwByteCountQueued += static_cast<DWORD>(std::min<uint64_t>(counters.bytesQueued, UINT32_MAX));
      stats.qwByteCountProcessed += counters.bytesProcessed;
    }
    *pStats = stats;
    return S_OK;
  });
}

HRESULT SinkWriter::GetTransformForStream(DWORD dwStreamIndex, DWORD dwTransformIndex, GUID* pGuidCategory,
                                          IMFTransform** ppTransform) {
  return ComBoundary([&]() -> HRESULT {
    if (ppTransform) *ppTransform = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (dwStreamIndex >= streams_.size()) return MF_E_INVALIDSTREAMNUMBER;
    // The encoders here are not Media Foundation transforms: no index names one.
    return MF_E_INVALIDINDEX;
  });
}

}  // namespace
}  // namespace kx::av

extern "C" {

HRESULT MFCreateSinkWriterFromURL(LPCWSTR pwszOutputURL, IMFByteStream* pByteStream, IMFAttributes* pAttributes,
                                  IMFSinkWriter** ppSinkWriter) {
  using namespace kx::av;
  if (!ppSinkWriter) return E_POINTER;
  *ppSinkWriter = nullptr;
  if (!pwszOutputURL || pwszOutputURL[0] == 0) return E_INVALIDARG;
  // Writing to a caller's byte stream is not offered by this layer.
  if (pByteStream) return E_NOTIMPL;
  return ComBoundary([&]() -> HRESULT {
    std::string path;
    if (!Utf16ToUtf8(pwszOutputURL, &path)) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    ContainerKind kind;
    if (!ContainerFromPath(path, &kind)) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;

    ComPtr<IMFSinkWriterCallback> callback;
    bool lowLatency = false;
    if (pAttributes) {
      // Absent attributes are fine; a callback that is not one is refused.
      ComPtr<IUnknown> unknown;
      // A null callback stored under the key counts as none.
      if (SUCCEEDED(pAttributes->GetUnknown(MF_SINK_WRITER_ASYNC_CALLBACK, IID_IUnknown,
                                            reinterpret_cast<void**>(&unknown))) &&
          unknown) {
        const HRESULT hr =
            unknown->QueryInterface(IID_IMFSinkWriterCallback, reinterpret_cast<void**>(&callback));
        if (FAILED(hr)) return E_INVALIDARG;
      }
      lowLatency = MFGetAttributeUINT32(pAttributes, MF_LOW_LATENCY, 0) != 0;
    }

    QuietFfmpegOnce();
    // A path that cannot be written is refused here, as the platform refuses
    // it when it opens the file; the file itself is opened by BeginWriting.
    std::unique_ptr<AvMuxer> muxer;
    const int result = AvMuxer::Create(path, kind, &muxer);
    if (result < 0) return HresultFromAvError(result);
    auto* writer = new (std::nothrow) SinkWriter(std::move(muxer), kind, std::move(callback), lowLatency);
    if (!writer) return E_OUTOFMEMORY;
    *ppSinkWriter = writer;
    return S_OK;
  });
}

int64_t KxSinkWriterHeldInputs(void) { return kx::av::HeldInputBlocks(); }
int64_t KxSinkWriterPeakHeldInputs(void) { return kx::av::PeakHeldInputBlocks(); }
void KxSinkWriterResetPeakHeldInputs(void) { kx::av::ResetPeakHeldInputBlocks(); }

}  // extern "C"
