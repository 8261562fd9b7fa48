// The ASF profile, stream configuration and content information objects.
#pragma once

#include <vector>

#include "kxplatform/mf.h"

namespace kx::asf {

// One stream of a profile: its ASF stream number and its format.
struct ProfileStream {
  WORD number = 0;
  kx::ComPtr<IMFMediaType> type;
};

// The streams of the profile a content information object holds, in the
// order they were added. MF_E_NOT_INITIALIZED without a profile;
// E_INVALIDARG when `info` is not one of this layer's content information
// objects.
HRESULT ProfileStreamsOf(IMFASFContentInfo* info, std::vector<ProfileStream>* streams);

}  // namespace kx::asf
