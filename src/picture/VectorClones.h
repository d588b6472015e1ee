#pragma once

// Pixel loops built twice on x86-64, for the baseline and for AVX2 (32-bit
// multiplies, min and max in one instruction, twice the lanes); the loader
// picks the one the processor runs.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define OCULO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OCULO_VECTOR_CLONES
#endif

// Loops written for AVX2 alone, chosen at run time with __builtin_cpu_supports.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define OCULO_HAS_AVX2 1
#define OCULO_AVX2 __attribute__((target("avx2")))
#else
#define OCULO_HAS_AVX2 0
#define OCULO_AVX2
#endif
