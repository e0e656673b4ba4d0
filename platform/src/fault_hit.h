// The check every platform call that can fail makes on entry, against the
// faults a test armed with InjectFault.
#pragma once

namespace platform {

// TRUE when the call named lpszCall must fail now; then the last error is
// already set to the armed value. Unarmed, one relaxed atomic load.
bool FaultHit(const char* lpszCall);

}  // namespace platform
