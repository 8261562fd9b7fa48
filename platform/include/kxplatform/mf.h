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
#include "kxplatform/linux/media_foundation.h"
#endif

#include "kxplatform/com_ptr.h"
