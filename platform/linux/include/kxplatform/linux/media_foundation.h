// Everything the Linux Media Foundation layer (libkx_mfplat.so) declares,
// in one header: on Windows a program includes windows.h, mfapi.h, mfidl.h,
// mfreadwrite.h, mferror.h and wmcontainer.h for the same names. A host
// includes <kx_traxel/mf/media_foundation.h> and links libkx_mfplat.so.
#pragma once

#include "wintypes.h"
#include "unknwn.h"
#include "mferror.h"
#include "mfobjects.h"
#include "mfapi.h"
#include "mfidl.h"
#include "wmcontainer.h"
#include "win32.h"
#include "mfreadwrite.h"
#include "mftranscode.h"
