// Hot loops over whole maps are compiled three times on x86-64, for AVX-512
// (x86-64-v4), for AVX2 and for the baseline instruction set, and the loader
// picks the best one the processor can run. The results are the same
// whichever runs: the arithmetic is IEEE in each and no multiply-add is ever
// fused (-ffp-contract=off).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__)
#define MAPCONV_HOT_LOOP __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define MAPCONV_HOT_LOOP
#endif
