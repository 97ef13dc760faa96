#pragma once
// Builds of the hot loops for AVX-512, for AVX2 and for the baseline instruction set; the
// processor picks one at load time. Every build performs the same IEEE operations in the same
// order (no contraction into fused multiply-adds), so results do not depend on the pick.
//
// Under the thread sanitizer there is one build: clone resolvers run while the program is being
// loaded, before the sanitizer's runtime is ready to see their instrumented calls.
#ifdef __SANITIZE_THREAD__
#define QUARNEL_INSTRUCTION_SET_CLONES
#else
#define QUARNEL_INSTRUCTION_SET_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
