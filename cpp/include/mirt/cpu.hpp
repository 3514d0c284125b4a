// Which vector instructions the long passes may use beyond the build's
// baseline: AVX2 when the processor has it. Every pass gives the same result
// either way, to the bit; `allow_avx2(false)` keeps them on their portable
// code, so that tests can compare the two.
#pragma once

namespace mirt {

bool use_avx2();
void allow_avx2(bool allowed);

}  // namespace mirt
