#include "error.h"
#include "packets.h"

namespace kxhost {

std::unique_ptr<PacketSource> OpenPackets(const std::string&) {
  throw HostError(kExitUnavailable,
                  "remux is not available in this build: it reads its input with libavformat, which this build has not");
}

}  // namespace kxhost
