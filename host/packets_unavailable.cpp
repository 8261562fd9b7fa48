#include "error.h"
#include "packets.h"

namespace kxhost {

std::unique_ptr<PacketSource> OpenPackets(const std::string&) {
  throw HostError(kExitUnavailable,
                  "remux is not available in this build: it reads its input with libavformat, which this build has not");
}

void RouteLibraryLog() {}

bool ReadBack(const std::string&, FileContents&, std::string& error, bool& available) {
  available = false;
  error = "this build has no reader to read files back with";
  return false;
}

}  // namespace kxhost
