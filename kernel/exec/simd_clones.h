// Where the compiler and the processor family allow it, a function marked
// LUMK_SIMD_CLONES is built twice, for the baseline instruction set and for
// processors with AVX2 (x86-64-v3), and the loader picks the fitting one
// when the library is loaded. Lane loops gain 64-bit compares and wider
// vectors; results are the same on either path.
//
// Only GCC builds the clones: clang 14 compiles the attribute but leaves the
// dispatched symbol undefined at link time.
//
// Sanitizers instrument the loader's selection routine, which runs before
// they are set up (ThreadSanitizer crashes there), so sanitizer builds keep
// the baseline only.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define LUMK_NO_SIMD_CLONES 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define LUMK_NO_SIMD_CLONES 1
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(LUMK_NO_SIMD_CLONES)
#define LUMK_SIMD_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define LUMK_SIMD_CLONES
#endif
