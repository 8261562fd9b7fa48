// kx-host's commands.
#pragma once

#include <string>
#include <vector>

namespace kxhost {

int ListCommand(const std::vector<std::string>& arguments);
int EncodeCommand(const std::vector<std::string>& arguments);
int RemuxCommand(const std::vector<std::string>& arguments);

// Reads "--name value" and "--name=value" options in order.
class Options {
 public:
  explicit Options(const std::vector<std::string>& arguments) : arguments_(arguments) {}
  // The next argument; false at the end. `name` gets "--x" for an option,
  // "" for a positional argument (its text in `value`).
  bool Next(std::string& name, std::string& value);
  // The value of the option just read (from "=value" or the next argument).
  std::string Value(const std::string& name);

 private:
  const std::vector<std::string>& arguments_;
  size_t index_ = 0;
  std::string inlineValue_;
  bool hasInline_ = false;
};

}  // namespace kxhost
