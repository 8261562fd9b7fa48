// kx-host: a command-line host of the kx_Traxel plug-in. It loads the
// plug-in by path and uses it only through its exported tables and the
// host records of <kx_traxel/kx_traxel.h>, as a video converter does.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "error.h"
#include "os.h"

namespace kxhost {

bool Options::Next(std::string& name, std::string& value) {
  hasInline_ = false;
  if (index_ >= arguments_.size()) return false;
  const std::string& argument = arguments_[index_++];
  if (argument.size() > 2 && argument.rfind("--", 0) == 0) {
    const size_t equals = argument.find('=');
    name = argument.substr(0, equals);
    if (equals != std::string::npos) {
      inlineValue_ = argument.substr(equals + 1);
      hasInline_ = true;
    }
    value.clear();
  } else if (argument == "-q") {
    name = "--quiet";
  } else {
    name.clear();
    value = argument;
  }
  return true;
}

std::string Options::Value(const std::string& name) {
  if (hasInline_) return inlineValue_;
  if (index_ >= arguments_.size()) throw HostError(kExitUsage, "option " + name + " needs a value");
  return arguments_[index_++];
}

namespace {

constexpr const char* kUsage =
    "usage: kx-host list [--json] [--plugin PATH]\n"
    "       kx-host encode OUT [--video IN.y4m|-] [--audio IN.wav|-] [--size WxH] [--fps N[/D]]\n"
    "                      [--seconds S] [--video-codec FOURCC] [--audio-codec FOURCC]\n"
    "                      [--video-bitrate BPS] [--audio-bitrate BPS] [--multi-stream]\n"
    "                      [--xmp-options BITS] [--plugin PATH] [--quiet] [--verbose]\n"
    "       kx-host remux IN.wmv OUT.wmv [--plugin PATH] [--quiet] [--verbose]\n"
    "Without --video and --audio, encode writes a moving test pattern and a tone\n"
    "(default 1280x720, 25 fps, 10 s). OUT is written under a temporary name and\n"
    "renamed once complete and read back. Exit status: 0 done, 2 usage (OUT is an\n"
    "input), 3 plug-in, 4 unreadable input, 5 malformed input, 6 codec, 7 create,\n"
    "8 write or finish, 9 output (a folder, rename), 10 not available, 11 input\n"
    "cut off (remux wrote what came before the cut), 130 interrupted (SIGINT,\n"
    "SIGTERM, SIGHUP; the temporary file is removed). Killed outright (SIGKILL,\n"
    "a crash), it leaves the temporary file beside OUT: OUT's name\n"
    "with .kxpart-PID before the extension, PID the writer's process id\n"
    "(out.kxpart-4242.mp4). It plays up to shortly before the kill (at most its\n"
    "last 3 s are lost); rename it to keep it.\n";

}  // namespace
}  // namespace kxhost

int main(int argc, char** argv) {
  using namespace kxhost;
  const std::vector<std::string> all = ProgramArguments(argc, argv);
  if (all.size() < 2 || all[1] == "--help" || all[1] == "-h" || all[1] == "help") {
    std::fputs(kUsage, all.size() < 2 ? stderr : stdout);
    return all.size() < 2 ? kExitUsage : kExitOk;
  }
  const std::string command = all[1];
  const std::vector<std::string> arguments(all.begin() + 2, all.end());
  try {
    if (command == "list") return ListCommand(arguments);
    if (command == "encode") return EncodeCommand(arguments);
    if (command == "remux") return RemuxCommand(arguments);
    throw HostError(kExitUsage, "unknown command '" + command + "' (list, encode, remux; --help)");
  } catch (const HostError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "kx-host: %s\n", error.what());
    return error.status();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kx-host: %s\n", error.what());
    return kExitWrite;
  }
}
