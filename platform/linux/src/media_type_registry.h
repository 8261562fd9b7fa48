// The media types this layer made and that are still alive. A call that
// takes an IMFMediaType from a caller who may hand on any value (the ASF
// profile and stream configuration) checks the pointer here before calling
// through it: a pointer that is not a live media type of the layer is
// refused instead of followed.
#pragma once

#include "kxplatform/mf.h"

namespace kx::mf {

bool IsLiveMediaType(const IMFMediaType* type);

// Takes a reference to `type` if it is live (checked and referenced in one
// step, so that it cannot die in between). False otherwise.
bool ReferenceLiveMediaType(IMFMediaType* type);

}  // namespace kx::mf
