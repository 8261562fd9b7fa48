#include "output.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "error.h"
#include "os.h"
#include "packets.h"

namespace kxhost {

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ExtensionOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) return "";
  return Lowercase(path.substr(dot));
}

std::string TemporaryPath(const std::string& output, const std::string& extension) {
  return output.substr(0, output.size() - extension.size()) + ".kxpart-" + std::to_string(ProcessId()) +
         output.substr(output.size() - extension.size());
}

void CheckOutput(const std::string& output, const std::vector<std::string>& inputs) {
  if (IsFolder(output)) throw HostError(kExitOutput, output + " is a folder; name a file to write");
  for (const std::string& input : inputs) {
    if (!input.empty() && input != "-" && SameFile(input, output)) {
      throw HostError(kExitUsage, output + " is also an input (" + input + "); name another file to write");
    }
  }
}

TemporaryFile::~TemporaryFile() {
  if (!keep && !path.empty() && FileExists(path)) RemoveFile(path);
}

int64_t PutInPlace(TemporaryFile& file, const std::string& output) {
  const int64_t size = FileSize(file.path);
  if (size <= 0) throw HostError(kExitWrite, "the plug-in left no file for " + output);
  std::string renameError;
  if (!RenameOver(file.path, output, renameError)) {
    throw HostError(kExitOutput, "cannot rename " + file.path + " to " + output + ": " + renameError);
  }
  file.keep = true;
  return size;
}

namespace {

std::string SizeText(int64_t bytes) {
  char text[32];
  if (bytes >= 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  } else if (bytes >= 10 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
  }
  return text;
}

// ", video 2034 kb/s, audio 96 kb/s": each stream's rate in the finished
// file (its packets' bytes over their time span), which may differ from the
// rate asked for; empty where the file cannot be read back.
std::string RatesText(const std::string& path) {
  try {
    const std::unique_ptr<PacketSource> source = OpenPackets(path);
    struct Span {
      int64_t bytes = 0, start = INT64_MAX, end = INT64_MIN;
    };
    std::vector<Span> spans(source->streams.size());
    Packet packet;
    while (source->Next(packet)) {
      Span& span = spans.at(packet.stream);
      span.bytes += packet.bytes;
      span.start = std::min(span.start, packet.time100ns);
      span.end = std::max(span.end, packet.time100ns + std::max<int64_t>(packet.duration100ns, 0));
    }
    std::string text;
    for (size_t i = 0; i < spans.size(); ++i) {
      if (spans[i].end <= spans[i].start) continue;
      char rate[64];
      std::snprintf(rate, sizeof rate, ", %s %.0f kb/s", source->streams[i].video ? "video" : "audio",
                    spans[i].bytes * 8 * 1e4 / double(spans[i].end - spans[i].start));
      text += rate;
    }
    return text;
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

void PrintSummary(const std::string& output, int streamCount, const std::string& streams, double seconds,
                  int64_t frames, int64_t bytes, double elapsedSeconds) {
  std::printf("%s: %d stream%s (%s), %.2f s, %lld frames, %s%s, %.1fx real time\n", output.c_str(), streamCount,
              streamCount == 1 ? "" : "s", streams.c_str(), seconds, static_cast<long long>(frames),
              SizeText(bytes).c_str(), RatesText(output).c_str(), seconds / std::max(elapsedSeconds, 1e-6));
  // A reader of standard output that has gone (SIGPIPE is ignored): the
  // file is in place all the same.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "kx-host: %s is complete (%s); standard output is closed, the summary was not written\n",
                 output.c_str(), SizeText(bytes).c_str());
  }
}

Progress::Progress(bool enabled, std::string name) : enabled_(enabled), name_(std::move(name)), start_(SecondsNow()) {}

void Progress::Update(double doneSeconds, double totalSeconds, int64_t frames, bool force) {
  if (!enabled_) return;
  const double now = SecondsNow();
  if (!force && now - lastDraw_ < 0.2) return;
  lastDraw_ = now;
  const double elapsed = std::max(now - start_, 1e-6);
  char line[256];
  int length = std::snprintf(line, sizeof line, "\r%s: %lld frames, %.1f fps, %.1f s", name_.c_str(),
                             static_cast<long long>(frames), frames / elapsed, doneSeconds);
  if (totalSeconds > 0 && doneSeconds > 0 && length > 0) {
    const double eta = elapsed * (totalSeconds - doneSeconds) / doneSeconds;
    std::snprintf(line + length, sizeof line - static_cast<size_t>(length), ", %3.0f%%, ETA %d:%02d",
                  std::min(100.0, 100.0 * doneSeconds / totalSeconds), static_cast<int>(eta) / 60,
                  static_cast<int>(eta) % 60);
  }
  std::fprintf(stderr, "%s\033[K", line);
  std::fflush(stderr);
}

void Progress::Message(const char* text) {
  if (!enabled_) return;
  std::fprintf(stderr, "\r%s: %s\033[K", name_.c_str(), text);
  std::fflush(stderr);
}

void Progress::End() {
  if (enabled_) std::fprintf(stderr, "\r\033[K");
}

}  // namespace kxhost

namespace kxhost {

namespace {

// The file read back against what was written; "" when it holds that.
std::string Mismatch(const std::string& output, const FileContents& found, const FileContents& written) {
  const auto differs = [&](int64_t got, int64_t wanted, const char* what) {
    if (wanted < 0 ? got > 0 : got == wanted) return std::string();
    return output + " holds " + std::to_string(got) + " " + what + ", " +
           (wanted < 0 ? std::string("some") : std::to_string(wanted)) + " were written";
  };
  for (const std::string& text : {differs(found.videoStreams, written.videoStreams, "video streams"),
                                  differs(found.audioStreams, written.audioStreams, "audio streams"),
                                  differs(found.videoPackets, written.videoPackets, "video packets"),
                                  differs(found.audioPackets, written.audioPackets, "audio packets")}) {
    if (!text.empty()) return text;
  }
  return "";
}

}  // namespace

int64_t FinishWrite(Progress& progress, Plugin& plugin, const std::function<void()>& close, const std::string& failure,
                    ExitStatus failureStatus, TemporaryFile& file, const std::string& output,
                    const FileContents& written) {
  progress.Message("finishing the file...");
  const size_t logMark = LogRecords::Instance().Count();
  close();
  plugin.UnloadAndWait();
  progress.End();
  if (!failure.empty()) throw HostError(failureStatus, output + ": " + failure + "; nothing written");
  if (Interrupted()) throw HostError(kExitInterrupted, output + ": interrupted; nothing written");
  if (LogRecords::Instance().FailedSince(logMark)) {
    throw HostError(kExitWrite, "finishing " + output + " failed: the plug-in says \"" +
                                    LogRecords::Instance().ReasonSince(logMark) + "\"; nothing written");
  }
  if (FileSize(file.path) <= 0) throw HostError(kExitWrite, "the plug-in left no file for " + output + "; nothing written");
  FileContents found;
  std::string error;
  bool available = true;
  if (!ReadBack(file.path, found, error, available) && available) {
    throw HostError(kExitWrite, "the finished " + output + " cannot be read back (" + error + "); nothing written");
  }
  if (const std::string mismatch = available ? Mismatch(output, found, written) : ""; !mismatch.empty()) {
    throw HostError(kExitWrite, mismatch + "; nothing written");
  }
  return PutInPlace(file, output);
}

}  // namespace kxhost
