// Media Foundation for kx-host on Linux: the layer's installed declarations
// (link libkx_mfplat.so), the same names a Windows program gets from the SDK.
#pragma once

#include <kx_traxel/mf/media_foundation.h>
