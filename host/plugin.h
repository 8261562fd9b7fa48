// The plug-in as a converter uses it: loaded by path, its three tables read
// through the header's records, its log records collected through ZQ_Log's
// sink so that a failure can be reported with the log's own reason.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <kx_traxel/kx_traxel.h>

namespace kxhost {

std::string FourCCText(uint32_t fourcc);
// "WMV2" -> its FourCC; false when the text is not four printable characters.
bool ParseFourCC(const std::string& text, uint32_t& fourcc);
// A fixed wide field of the tables as UTF-8.
std::string TextOf(const kx_wchar* field, size_t units);
// A UTF-8 path as the host interface's wide text; false on bad UTF-8.
bool WideOf(const std::string& utf8, std::basic_string<kx_wchar>& wide);
// The FourCCs of a codec list, up to its zero entry.
std::vector<uint32_t> CodecsOf(const CodecListEntry* list);

// Log records of the plug-in, kept while kx-host runs (and echoed to
// standard error with --verbose). Lives for the whole process: the close
// threads may log until the plug-in is unloaded.
class LogRecords {
 public:
  static LogRecords& Instance();
  void Add(const std::string& text);
  size_t Count();
  // The reason for a failure among the records from `first` on: the first
  // line that says something failed or was refused, else the last record.
  std::string ReasonSince(size_t first);
  bool FailedSince(size_t first);  // a record says "failed", in any case
  bool MentionedSince(size_t first, const char* text);
  bool echo = false;

 private:
  std::mutex mutex_;
  std::vector<std::string> records_;
};

class Plugin {
 public:
  // Loads `path`, or when it is empty the first that exists of: beside this
  // program, then the install's library folder. Throws HostError.
  explicit Plugin(const std::string& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const std::string& path() const { return path_; }
  const EncoderDescriptor* encoders() const { return encoders_; }
  const FileFormatDescriptor* fileFormats() const { return fileFormats_; }
  const MultiStreamFormatDescriptor* multiStreamFormats() const { return multiStream_; }
  bool logCaptured() const { return logCaptured_; }
  // Another export of the plug-in; null when it has none.
  void* Symbol(const char* name) const;

  // Unloads the plug-in and waits until every file it closed is complete.
  void UnloadAndWait();

 private:
  std::string path_;
  void* handle_ = nullptr;
  const EncoderDescriptor* encoders_ = nullptr;
  const FileFormatDescriptor* fileFormats_ = nullptr;
  const MultiStreamFormatDescriptor* multiStream_ = nullptr;
  bool logCaptured_ = false;
};

}  // namespace kxhost
