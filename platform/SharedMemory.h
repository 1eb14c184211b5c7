// Global memory blocks kept by handle: allocate, lock, unlock, free. Every block that the MIDI
// service or its callback touches comes from here. Sizes are std::size_t.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velora {

using HGLOBAL = std::uintptr_t;  // 0 is no block

constexpr std::uint32_t GMEM_MOVEABLE = 0x0002;
constexpr std::uint32_t GMEM_ZEROINIT = 0x0040;
constexpr std::uint32_t GMEM_DDESHARE = 0x2000;
constexpr std::uint32_t GMEM_SHARE = GMEM_DDESHARE;

// Returns 0 when the block cannot be had (or a test made this allocation fail).
HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t size);
// The block's address, or nullptr for an unknown handle. Locks nest.
void* GlobalLock(HGLOBAL handle);
// True while the block stays locked after this unlock.
bool GlobalUnlock(HGLOBAL handle);
// Returns 0 on success, else the handle back.
HGLOBAL GlobalFree(HGLOBAL handle);
std::size_t GlobalSize(HGLOBAL handle);

// Test hooks. The n-th GlobalAlloc from now fails (1 = the next one); 0 turns failing off.
void GlobalAllocFailAt(std::size_t n);
// Number of blocks allocated and not yet freed, process-wide.
std::size_t GlobalLiveBlocks();
// Number of GlobalAlloc calls since the process started (successful or not).
std::size_t GlobalAllocCalls();

}  // namespace velora
