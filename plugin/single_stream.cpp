// The four functions of every GetFileFormats row: create starts Media
// Foundation and returns a SinkWriterEncoder as the handle, the writes feed
// it, and close hands it to a detached thread that finishes the file, frees
// the encoder and shuts Media Foundation down again.
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include <kx_traxel/kx_traxel.h>
#include <kx_traxel/zq_log.h>

#include "discovery_tables.h"
#include "entry_points.h"
#include "kxplatform/library_threads.h"
#include "kxplatform/mf.h"
#include "kxrecords/encode_params.h"
#include "kxsinkwriter/sink_writer_encoder.h"

namespace {

// HRESULT of the most recent MFStartup of any single-stream create. Written
// by every create, read by every close thread; each access is one indivisible
// 32-bit access and orders nothing else, hence relaxed.
std::atomic<int32_t> g_mfStartupResult{0};

// The close threads still finishing a file. The library is not unloaded
// (and a normal process exit on Linux does not end) before they have ended,
// so a host that closes its files and then unloads the plug-in or returns
// from main still gets complete files. A close from another host thread
// while that happens finishes its file on that thread, waited for too.
kx::LibraryThreads g_closeThreads;
const kx::CloseAtUnload g_closeAtUnload(g_closeThreads);

// A pointer as "%d" prints it: its low 32 bits as a signed number.
int32_t PointerAsInt(const void* pointer) {
  return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)));
}

// The XMP record of a new file: the host's option bits, then the create's
// 64-bit value and the time scale 1 / 10,000,000.
_XmpMetadata BuildXmpRecord(const _XmpMetadata& host, uint64_t value) {
  _XmpMetadata record = host;
  record.nDuration = value;
  record.nTimeScaleNum = 1;
  record.nTimeScaleDen = 10000000;
  return record;
}

// Whether nothing is at the output path yet. A path the file system cannot
// examine counts as taken: a failed create removes only what it knows it
// made.
bool NothingAtPath(const kx_wchar* pFileName) {
  try {
    std::error_code error;
    return std::filesystem::symlink_status(std::filesystem::path(pFileName), error).type() ==
           std::filesystem::file_type::not_found;
  } catch (...) {
    return false;
  }
}

// After a create that failed once the writer was made: the sink writer may
// have created the file before it refused the configuration. A file that
// was not there before the create is removed; one that was is never touched.
void RemoveFileOfFailedCreate(const kx_wchar* pFileName) {
  try {
    std::error_code error;
    const std::filesystem::path path(pFileName);
    if (std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::regular) return;
    if (std::filesystem::remove(path, error)) {
      LogPrintW(KX_W("kx_Traxel.dll: removed file[%ls] that the failed create had made."), pFileName);
    }
  } catch (...) {
    // Left in place: nothing crosses the boundary.
  }
}

MediaFileHandle CreateFailed(const kx_wchar* pFileName, HRESULT startup) {
  LogPrintW(KX_W("kx_Traxel.dll: Create file[%ls] failed."), pFileName);
  // Only a start-up that this create made is undone here; the library-wide
  // value may already hold another create's result.
  if (startup == S_OK) MFShutdown();
  return nullptr;
}

// Body of the close thread (or of close itself when no thread can start).
void FinishFile(SinkWriterEncoder* encoder) {
  if (encoder == nullptr) return;
  // Finishing logs its own failures; the close thread has no one to tell,
  // and the encoder is freed either way.
  (void)encoder->Finish();  // finalizes, waits for the writer, injects the XMP packet
  delete encoder;
  if (g_mfStartupResult.load(std::memory_order_relaxed) == 0) MFShutdown();
}

}  // namespace

MediaFileHandle CreateMediaFile(const kx_wchar* pFileName, const EncodeParams* pEncParam, uint64_t value) {
  LogPrintW(KX_W("kx_Traxel.dll: Creating media file[%ls]..."), pFileName);

  const HRESULT startup = MFStartup(MF_VERSION, MFSTARTUP_FULL);
  g_mfStartupResult.store(startup, std::memory_order_relaxed);
  if (startup != S_OK) LogPrintW(KX_W("kx_Traxel.dll: Init MFStartup Failed,hr =%d \n"), startup);

  if (pFileName == nullptr || pEncParam == nullptr) {
    LogPrintW(KX_W("kx_Traxel.dll: wrong poiter - pFileName[%d] or pEncParam[%d])."), PointerAsInt(pFileName),
              PointerAsInt(pEncParam));
    return CreateFailed(pFileName, startup);
  }

  // The row is not used further: every row leads to the same encoder, and
  // the container follows the path's extension.
  if (FindFileFormat(kx::FileFormatTable(), pEncParam->nFileFourCC) == nullptr) {
    return CreateFailed(pFileName, startup);
  }

  // Known before the sink writer is made, which may create (or truncate)
  // the file.
  const bool pathWasFree = NothingAtPath(pFileName);
  // Nothing may cross the boundary: an allocation that fails anywhere below
  // ends in the failure exit like any other failed step.
  std::unique_ptr<SinkWriterEncoder> encoder;
  try {
    encoder.reset(new SinkWriterEncoder(*pEncParam));
    if (encoder->Init(pFileName) == 0) {
      // Finishes a writer that Init had already created; its failure is
      // logged by it, and the create fails either way.
      (void)encoder->Finish();
      encoder.reset();
      if (pathWasFree) RemoveFileOfFailedCreate(pFileName);
      return CreateFailed(pFileName, startup);
    }
  } catch (...) {
    LogPrintW(KX_W("kx_Traxel.dll: out of memory for the encoder of file[%ls]."), pFileName);
    // As after a failed Init (Finish allocates nothing); logged by it.
    if (encoder) (void)encoder->Finish();
    encoder.reset();
    if (pathWasFree) RemoveFileOfFailedCreate(pFileName);
    return CreateFailed(pFileName, startup);
  }

  try {
    const std::string xmp = DumpXmpMetadata(BuildXmpRecord(pEncParam->xmpMetadata, value), 1);
    encoder->SetXmpString(xmp.data(), xmp.size());
  } catch (...) {
    // A file without its XMP packet is still a file.
    LogPrintW(KX_W("kx_Traxel.dll: XMP metadata of file[%ls] could not be built."), pFileName);
  }

  LogPrintW(KX_W("kx_Traxel.dll: Create file[%ls] Success."), pFileName);
  return encoder.release();
}

int32_t WriteAudioFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint64_t /*value*/,
                        uint32_t /*outStreamIndex*/) {
  if (handle == nullptr || pFrame == nullptr) return -1;
  try {
    return static_cast<SinkWriterEncoder*>(handle)->EncodeAudioFrame(pFrame);
  } catch (...) {
    LogPrintW(KX_W("kx_Traxel.dll: out of memory writing an audio frame."));
    return 0;
  }
}

int32_t WriteVideoFrame(MediaFileHandle handle, const MediaFrame* pFrame, uint32_t /*outStreamIndex*/) {
  if (handle == nullptr || pFrame == nullptr) return -1;
  try {
    return static_cast<SinkWriterEncoder*>(handle)->EncodeVideoFrame(pFrame);
  } catch (...) {
    LogPrintW(KX_W("kx_Traxel.dll: out of memory writing a video frame."));
    return 0;
  }
}

void CloseMediaFile(MediaFileHandle handle) {
  auto* encoder = static_cast<SinkWriterEncoder*>(handle);
  const auto announce = [](kx::Ran ran) {
    LogPrintW(ran == kx::Ran::kOnCallerNoThread
                  ? KX_W("kx_Traxel.dll: close thread could not be started, closing on the caller's thread.")
                  : KX_W("kx_Traxel.dll: the library is being unloaded, closing on the caller's thread."));
  };
  // On the caller's thread the closing line is written within the task, so
  // that an unload waiting for it has nothing of the library left to wait for.
  const std::thread::id caller = std::this_thread::get_id();
  const kx::Ran ran = g_closeThreads.Run(
      [encoder, caller] {
        FinishFile(encoder);
        if (std::this_thread::get_id() == caller) LogPrintW(KX_W("kx_Traxel.dll: media file closed."));
      },
      announce);
  if (ran == kx::Ran::kOnThread) LogPrintW(KX_W("kx_Traxel.dll: media file closed."));
  // Past the unload (a host thread still closing while the process exits):
  // nothing of the library may start now.
  if (ran == kx::Ran::kRefused) LogPrintW(KX_W("kx_Traxel.dll: close after the library was unloaded, file not finished."));
}
