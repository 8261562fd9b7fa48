// The Media Foundation, COM and Win32 declarations the library uses.
//
// Library code includes this header and nothing else of the OS. On Windows it
// is the real SDK; elsewhere it is our own layer (libkx_mfplat), which
// declares the same names, signatures, GUID values and HRESULT values.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mferror.h>
#include <mftransform.h>
// The ASF profile, stream configuration and content information interfaces.
#include <wmcontainer.h>
// AM_MEDIA_TYPE, FORMAT_WaveFormatEx and MoFreeMediaType (msdmo): the
// conversion of an encoder's audio output type into a WAVEFORMATEX block.
#include <strmif.h>
#include <uuids.h>
#include <mediaobj.h>
// mingw-w64's dmort.h declares the Mo* functions without C linkage.
#ifdef __cplusplus
extern "C" {
#endif
#include <dmort.h>
#ifdef __cplusplus
}
#endif
#else
#include "kxplatform/linux/wintypes.h"
#include "kxplatform/linux/unknwn.h"
#include "kxplatform/linux/mferror.h"
#include "kxplatform/linux/mfobjects.h"
#include "kxplatform/linux/mfapi.h"
#include "kxplatform/linux/mfidl.h"
#include "kxplatform/linux/wmcontainer.h"
#include "kxplatform/linux/win32.h"
#if __has_include("kxplatform/linux/mfreadwrite.h")
#include "kxplatform/linux/mfreadwrite.h"
#endif
#if __has_include("kxplatform/linux/mftranscode.h")
#include "kxplatform/linux/mftranscode.h"
#endif
#endif

#include "kxplatform/com_ptr.h"
