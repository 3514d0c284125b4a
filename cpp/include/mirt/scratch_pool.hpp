// Large scratch buffers kept after use and handed out again. A search writes
// tens of megabytes of scratch per million rows; fresh pages cost a fault and
// the kernel's zeroing each, which at that size costs more than some of the
// passes that use them. Buffers of 1 MiB and more are kept, at most 128 MiB
// in all (`pool_limit`), the oldest dropped first: about what one search over
// a million rows uses.
#pragma once

#include <cstddef>

namespace mirt {

// At least `bytes` of memory aligned to 64 bytes (to 2 MiB, with huge pages
// asked for, from 2 MiB on), uninitialised. Throws std::bad_alloc.
void* pool_acquire(std::size_t bytes);

// Gives back memory from pool_acquire with the size it was asked for; kept
// for a later request when the pool has room, freed otherwise.
void pool_release(void* p, std::size_t bytes) noexcept;

// Frees every kept buffer and returns the bytes freed: the pool holds up to
// pool_limit() for the life of the process otherwise.
std::size_t pool_trim() noexcept;

// The most bytes the pool keeps between uses, and the bytes it keeps now.
std::size_t pool_limit() noexcept;
std::size_t pool_kept() noexcept;

}  // namespace mirt
