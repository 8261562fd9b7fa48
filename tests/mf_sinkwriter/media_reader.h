// The shared media probe (tests/common/media_probe.h) under this folder's names.
#pragma once

#include "media_probe.h"

namespace sinkwriter_test {
using kx::test::FileReport;
using kx::test::ReadMediaFile;
using kx::test::StreamReport;
}  // namespace sinkwriter_test
