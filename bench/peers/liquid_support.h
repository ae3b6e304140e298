// What the liquid-dsp peers share: their own CPU time, and a block's noise and writing.
#pragma once

#include <liquid/liquid.h>

#include <stdio.h>
#include <sys/resource.h>

// User + system CPU seconds of this process so far.
static double cpu_seconds(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + (double)usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec * 1e-6;
}

// Adds cawgn's noise (total complex variance noise_std^2) to n samples of `block` and writes
// them to `out` as cf32; 1 with the system's words on standard error when the write fails.
static int write_noisy(liquid_float_complex* block, unsigned int n, float noise_std, FILE* out, const char* path) {
  for (unsigned int i = 0; i < n; ++i) cawgn(&block[i], noise_std);
  if (fwrite(block, sizeof block[0], n, out) != n) {
    perror(path);
    return 1;
  }
  return 0;
}
