// The liquid-dsp peer of the exact GMSK benchmark: random bits through liquid's gmskmod (a
// Gaussian filter of bandwidth-time product BT over 2 m + 1 symbols, k samples per symbol, the
// phase integrated and turned into samples), a carrier offset from its NCO, complex white
// Gaussian noise from cawgn, and the samples written with fwrite as cf32 (interleaved
// little-endian float32 I,Q). It works in blocks that stay in cache, as liquid_qpsk does.
//
// Usage: liquid_gmsk OUT SAMPLES K BT OFFSET/FS SNR_DB [SEED]
//   K is the whole number of samples per symbol (gmskmod takes no other); OFFSET/FS is the
//   carrier offset in cycles per sample (37 Hz at 40 kHz: 0.000925).
// The signal has unit power (a constant envelope) and the noise 10^(-SNR/10) of it over the whole
// band, as in Quorvin's exact model. It prints the CPU seconds (user + system) of the generation
// and writing alone, so that the process's start-up and the library's loading do not count.

#include <liquid/liquid.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "liquid_support.h"

// Symbols a block: 1024 of them at k = 4 is 4096 samples, as liquid_qpsk's blocks.
enum { block_symbols = 1024, filter_delay = 3 };  // 3 symbols either side: Quorvin's reach at BT 0.3

int main(int argc, char** argv) {
  if (argc < 7 || argc > 8) {
    fprintf(stderr, "usage: %s OUT SAMPLES K BT OFFSET/FS SNR_DB [SEED]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  long long samples = atoll(argv[2]);
  int k = atoi(argv[3]);
  double bt = atof(argv[4]);
  double offset = atof(argv[5]);
  double snr_db = atof(argv[6]);
  unsigned int seed = argc == 8 ? (unsigned int)strtoul(argv[7], NULL, 10) : 1u;
  if (samples <= 0 || k < 2 || k > 64 || !(bt > 0.0 && bt <= 1.0) || !(fabs(offset) < 0.5)) {
    fprintf(stderr, "liquid_gmsk: need SAMPLES > 0, 2 <= K <= 64, 0 < BT <= 1, |OFFSET/FS| < 0.5\n");
    return 2;
  }
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    return 1;
  }
  srand(seed);  // the bits and the noise both draw from rand()

  double start = cpu_seconds();

  gmskmod modulator = gmskmod_create((unsigned int)k, filter_delay, (float)bt);
  nco_crcf oscillator = nco_crcf_create(LIQUID_NCO);
  nco_crcf_set_frequency(oscillator, (float)(2.0 * M_PI * offset));
  float noise_std = (float)pow(10.0, -snr_db / 20.0);  // cawgn: total complex variance noise_std^2

  liquid_float_complex* block = malloc((size_t)block_symbols * (size_t)k * sizeof *block);
  for (long long done = 0; done < samples;) {
    for (unsigned int i = 0; i < block_symbols; ++i) gmskmod_modulate(modulator, (unsigned int)(rand() & 1), &block[i * k]);
    unsigned int n = samples - done < block_symbols * k ? (unsigned int)(samples - done) : block_symbols * (unsigned int)k;
    nco_crcf_mix_block_up(oscillator, block, block, n);
    if (write_noisy(block, n, noise_std, out, path) != 0) return 1;
    done += n;
  }
  if (fclose(out) != 0) {
    perror(path);
    return 1;
  }

  double seconds = cpu_seconds() - start;
  gmskmod_destroy(modulator);
  nco_crcf_destroy(oscillator);
  free(block);
  printf("cpu_seconds %.6f\n", seconds);
  return 0;
}
