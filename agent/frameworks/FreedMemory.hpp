#pragma once

namespace agent {

// Gives the heap's free pages back to the system where the allocator keeps them: after a scan, the old
// snapshot and the reading buffers are freed, and an idle agent should not go on holding them.
void returnFreedMemory();

} // namespace agent
