// The liquid-dsp peer of the OFDM benchmark: K active subcarriers (bins -K/2 .. -1, 1 .. K/2 of
// an inverse DFT of N points, N even, about K / 0.675 as the middle of Quorvin's default
// occupancy draws) carrying random QAM16 points from liquid's modem (the outermost two liquid's
// pilots, as it requires two), each OFDM symbol made by
// ofdmframegen with a cyclic prefix of N / 8 samples and no taper, complex white Gaussian noise
// from cawgn, and the samples written with fwrite as cf32. Quorvin draws N and the prefix per
// file; this fixes them in the middle of its ranges, so the work per sample is comparable.
//
// Usage: liquid_ofdm OUT SAMPLES K SNR_DB [SEED]
// It prints the CPU seconds (user + system) of the generation and writing alone, as
// liquid_qpsk does.

#include <liquid/liquid.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "liquid_support.h"

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) {
    fprintf(stderr, "usage: %s OUT SAMPLES K SNR_DB [SEED]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  long long samples = atoll(argv[2]);
  int active = atoi(argv[3]);
  double snr_db = atof(argv[4]);
  unsigned int seed = argc == 6 ? (unsigned int)strtoul(argv[5], NULL, 10) : 1u;
  if (samples <= 0 || active < 2 || active % 2 != 0 || active > 1 << 16) {
    fprintf(stderr, "liquid_ofdm: need SAMPLES > 0 and an even K from 2 to 65536\n");
    return 2;
  }
  unsigned int size = 2 * (unsigned int)ceil(active / (2 * 0.675));
  unsigned int prefix = size / 8;
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    return 1;
  }
  srand(seed);

  double start = cpu_seconds();

  unsigned char* allocation = malloc(size);
  for (unsigned int i = 0; i < size; ++i) {
    int bin = i < size / 2 ? (int)i : (int)i - (int)size;
    // liquid asks for two pilots at least: the outermost two of the K (its own BPSK points).
    allocation[i] = bin == 0 || abs(bin) > active / 2 ? OFDMFRAME_SCTYPE_NULL
                    : abs(bin) == active / 2          ? OFDMFRAME_SCTYPE_PILOT
                                                      : OFDMFRAME_SCTYPE_DATA;
  }
  ofdmframegen generator = ofdmframegen_create(size, prefix, 0, allocation);
  if (!generator) return 1;
  modemcf modem = modemcf_create(LIQUID_MODEM_QAM16);
  float noise_std = (float)pow(10.0, -snr_db / 20.0);
  liquid_float_complex* points = calloc(size, sizeof *points);
  liquid_float_complex* symbol = malloc((size + prefix) * sizeof *symbol);
  for (long long done = 0; done < samples;) {
    for (unsigned int i = 0; i < size; ++i) {
      if (allocation[i] == OFDMFRAME_SCTYPE_DATA) modemcf_modulate(modem, modemcf_gen_rand_sym(modem), &points[i]);
    }
    ofdmframegen_writesymbol(generator, points, symbol);
    unsigned int n = samples - done < size + prefix ? (unsigned int)(samples - done) : size + prefix;
    if (write_noisy(symbol, n, noise_std, out, path) != 0) return 1;
    done += n;
  }
  if (fclose(out) != 0) {
    perror(path);
    return 1;
  }

  double seconds = cpu_seconds() - start;
  ofdmframegen_destroy(generator);
  modemcf_destroy(modem);
  free(allocation);
  free(points);
  free(symbol);
  printf("cpu_seconds %.6f\n", seconds);
  return 0;
}
