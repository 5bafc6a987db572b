#pragma once
// How the process's allocator gives memory back to the system. Capture and encoding allocate frame-sized blocks
// (megabytes each) on threads that end when capture stops; left to its defaults, glibc serves later blocks of that
// size from its heaps and keeps them, so every capture start and stop leaves the process larger.

#include <cstdint>

namespace veltrano::platform {

// Blocks of 1 MiB and more are mapped on their own and unmapped when freed. Call once, early in main, before other
// threads start.
void returnLargeBlocksToSystem();

// Hands the free pages of every heap back to the system; after a burst of frees (a capture stop).
void releaseFreedMemory();

// The process's resident set size now.
std::uint64_t residentBytes();

}  // namespace veltrano::platform
