// How many threads the long passes may use: the cores the machine reports, or
// fewer when the environment variable MIRT_NUM_THREADS asks (1 keeps every
// pass on the calling thread), read once per process, as BLAS libraries read
// theirs; a value that is not a positive integer is ignored.
#pragma once

#include <cstddef>

namespace mirt {

std::size_t max_threads();

}  // namespace mirt
