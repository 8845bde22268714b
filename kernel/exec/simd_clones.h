// Where the compiler and the processor family allow it, a function marked
// LUMK_SIMD_CLONES is built twice, for the baseline instruction set and for
// processors with AVX2 (x86-64-v3), and the loader picks the fitting one
// when the library is loaded. Lane loops gain 64-bit compares and wider
// vectors; results are the same on either path.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define LUMK_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define LUMK_SIMD_CLONES
#endif
