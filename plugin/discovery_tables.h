// The library's static descriptor tables, for its own entry points.
#pragma once

#include <kx_traxel/kx_traxel.h>

namespace kx {

// First row of the table that GetFileFormats returns (no log line).
FileFormatDescriptor* FileFormatTable();

// First row of the legacy table; no export returns it, only the legacy
// create reads it.
FileFormatDescriptor* LegacyFileFormatTable();

}  // namespace kx
