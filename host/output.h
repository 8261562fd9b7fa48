// What the commands that write a file share: the temporary name beside OUT,
// the progress line, putting the finished file in place and the summary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "error.h"
#include "packets.h"
#include "plugin.h"

namespace kxhost {

std::string Lowercase(std::string text);

// OUT's extension with its dot, lower case; "" when it has none.
std::string ExtensionOf(const std::string& path);

// OUT's folder and stem with ".kxpart-<pid>" and OUT's extension: the
// container follows the extension, and a rename in one folder is atomic.
std::string TemporaryPath(const std::string& output, const std::string& extension);

// Before anything is read or written: OUT is no folder (status 9) and no
// file of `inputs` ("-" and "" are none), also through a link (status 2).
void CheckOutput(const std::string& output, const std::vector<std::string>& inputs);

// Removes the temporary file however the command ends, unless it was kept.
struct TemporaryFile {
  std::string path;
  bool keep = false;
  ~TemporaryFile();
};

// Renames the finished temporary file to `output` (status 8 when the
// plug-in left no file, 9 when the rename fails) and keeps it; its size.
int64_t PutInPlace(TemporaryFile& file, const std::string& output);

// The summary line on standard output: streams, duration, frames, size and
// speed.
class Progress;

// Ends a write once everything is handed over: `close` (the file's close,
// the muxer's destroy), then the unload of the plug-in, which returns once
// the file is complete. Throws the write's own `failure` when there was one,
// else the finish's failure as the plug-in's log gives it, else what the
// file read back holds against `written` (streams of each kind; packets of
// each kind, audio -1: some). Then the file is put in place under `output`
// and its size returned.
int64_t FinishWrite(Progress& progress, Plugin& plugin, const std::function<void()>& close, const std::string& failure,
                    ExitStatus failureStatus, TemporaryFile& file, const std::string& output,
                    const FileContents& written);

void PrintSummary(const std::string& output, int streamCount, const std::string& streams, double seconds,
                  int64_t frames, int64_t bytes, double elapsedSeconds);

// One line on standard error, redrawn, while it is a terminal.
class Progress {
 public:
  Progress(bool enabled, std::string name);
  void Update(double doneSeconds, double totalSeconds, int64_t frames, bool force = false);
  void Message(const char* text);
  void End();

 private:
  bool enabled_;
  std::string name_;
  double start_;
  double lastDraw_ = -1;
};

}  // namespace kxhost
