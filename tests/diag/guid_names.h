// The media GUID name table as text, "<name> {<GUID in registry form>}" per
// line, formatted here (not by the platform) so that the Windows SDK's values
// and the Linux layer's can be compared.
#pragma once

#include <cstdio>
#include <string>

#include "kxdiag/media_type_dump.h"

namespace kx::test {

inline std::string RegistryForm(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

inline std::string MediaGuidNameList() {
  std::string list;
  for (size_t i = 0; i < MediaGuidNameCount(); ++i) {
    const MediaGuidEntry& entry = MediaGuidNameAt(i);
    for (const WCHAR* c = entry.name; *c != 0; ++c) list += static_cast<char>(*c);  // names are ASCII
    list += ' ';
    list += RegistryForm(*entry.guid);
    list += '\n';
  }
  return list;
}

}  // namespace kx::test
