// kx-host's failures: one line for standard error and a distinct exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace kxhost {

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 2,          // unknown option, missing or bad value
  kExitPlugin = 3,         // the plug-in cannot be loaded or has no tables
  kExitInputUnreadable = 4,
  kExitInputMalformed = 5,
  kExitCodec = 6,          // no such encoder, or not one the container takes
  kExitCreate = 7,         // the plug-in refused to create the file
  kExitWrite = 8,          // a write or the file's completion failed
  kExitOutput = 9,         // the finished file could not be put in place
  kExitUnavailable = 10,   // a command this build does not offer
  kExitInputCut = 11,      // the input is cut off: the file holds what came before the cut
  kExitInterrupted = 130,
};

class HostError : public std::runtime_error {
 public:
  HostError(ExitStatus status, const std::string& message) : std::runtime_error(message), status_(status) {}
  ExitStatus status() const { return status_; }

 private:
  ExitStatus status_;
};

}  // namespace kxhost
