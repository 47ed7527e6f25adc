// Giving memory the program has freed back to the system.
#pragma once

namespace kestrill {

// Returns the heap's free pages to the system. The allocator keeps what was freed for reuse,
// and after many large, short-lived buffers (a turn's requests, scripts and saves, spread over
// several threads) that adds up to far more than the program uses. Costs a few milliseconds:
// call it off the UI thread, at a quiet moment.
void ReturnFreedMemory();

}  // namespace kestrill
