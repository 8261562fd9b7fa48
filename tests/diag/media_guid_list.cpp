// Prints the media GUID name table with the GUID values of the build's
// platform: the real SDK's in the Windows build (run under Wine to refresh
// data/media_guid_names.windows.txt), the Linux layer's natively.
#include <cstdio>

#include "guid_names.h"

int main() {
  const std::string list = kx::test::MediaGuidNameList();
  std::fwrite(list.data(), 1, list.size(), stdout);
  return 0;
}
