// Counters the layer's own tests read: how many input samples the sink
// writers of the process hold at this moment (queued for an encoder or
// referenced by one), and the most they ever held at once. A producer much
// faster than the encoders must leave the peak bounded by the queue depths.
#pragma once

#include <cstdint>

extern "C" {
int64_t KxSinkWriterHeldInputs(void);
int64_t KxSinkWriterPeakHeldInputs(void);
void KxSinkWriterResetPeakHeldInputs(void);
}
