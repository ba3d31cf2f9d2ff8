#pragma once

// Memory the program has freed normally stays with the allocator for later
// use. After a large piece of work (a folder of thousands of messages read)
// it is worth handing back to the system at once, so an agent that runs for
// days does not keep the peak of its busiest moment.
namespace FreedMemory {

// Returns the freed memory the allocator can part with; does nothing where
// the allocator offers no way to.
void returnToSystem();

} // namespace FreedMemory
