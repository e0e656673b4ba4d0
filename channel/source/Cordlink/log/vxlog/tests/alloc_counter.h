// Counts the heap allocations (operator new) made by the calling thread while
// counting is armed; the test binary replaces the global operator new.
#pragma once

namespace vxlog_test {
void ArmAllocCounter(bool bArmed);
int AllocCount();
}  // namespace vxlog_test
