// Hot loops over whole maps are compiled twice on x86-64, for AVX2 and for
// the baseline instruction set, and the loader picks the one the processor
// can run. The results are the same either way: the arithmetic is IEEE in
// both and no multiply-add is ever fused (-ffp-contract=off).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__)
#define MAPCONV_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define MAPCONV_HOT_LOOP
#endif
