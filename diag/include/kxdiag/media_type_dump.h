// Writes a media type to the log, one info line per attribute:
//   "kx_Traxel info [Media Foundation ]:     MF_MT_FRAME_SIZE: 1920 x 1080\n"
#pragma once

#include <cstddef>

#include "kxplatform/mf.h"

// Dumps every attribute in store order; false when reading or naming an
// attribute failed (the earlier lines stay in the log).
bool DumpMediaType(IMFAttributes* type);

// The Media Foundation name of a GUID (attribute keys, major types, video
// and audio subtypes), or null when it is not in the name table.
const WCHAR* MediaGuidName(REFGUID guid);

// Formats one wide line (at most 259 characters; a longer one is dropped)
// and logs it at the info level as "[Media Foundation ]: <line>".
void DumpLogLine(const WCHAR* format, ...);

// The name table in lookup order (138 entries), for cross-checks.
struct MediaGuidEntry {
  const GUID* guid;
  const WCHAR* name;
};
size_t MediaGuidNameCount();
const MediaGuidEntry& MediaGuidNameAt(size_t index);
