#pragma once
// How the core's few vector kernels are built. Their arithmetic is written in a fixed order, so
// every version of a kernel gives the same bits.

// Forced inline, so that a kernel is compiled for the processor of the version that calls it.
#if defined(__GNUC__)
#define QUORVIN_KERNEL [[gnu::always_inline]] inline
#else
#define QUORVIN_KERNEL inline
#endif

// On Linux x86-64 with GCC a function so marked is built twice, for AVX2 and for the baseline
// instruction set, and the loader picks one for the processor once (GCC's target_clones).
// Elsewhere the one baseline version is built.
// QUORVIN_BIT_CLONES likewise for BMI2, whose rotations (rorx) leave their source intact: for
// word-at-a-time arithmetic such as a hash's rounds.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define QUORVIN_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#define QUORVIN_BIT_CLONES __attribute__((target_clones("bmi2", "default")))
#else
#define QUORVIN_WIDE_CLONES
#define QUORVIN_BIT_CLONES
#endif
