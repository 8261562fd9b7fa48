// Start-up state of the layer, for parts that need Media Foundation started.
#pragma once

namespace kx::mf {

// True while at least one MFStartup has not been matched by MFShutdown.
bool PlatformStarted();

}  // namespace kx::mf
