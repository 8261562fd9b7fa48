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
#else
#include "kxplatform/linux/wintypes.h"
// The Linux layer's own declarations follow here (COM basics, attribute
// stores, media types, samples, sink writer, Win32 events and text).
#endif

#include "kxplatform/com_ptr.h"
