// The liquid-dsp peer of the exact QPSK benchmark: random QPSK symbols from liquid's modem,
// pulse-shaped and brought to the sample rate by its rational resampler built on a
// root-raised-cosine prototype (exactly P/Q samples per symbol: 4/1, or 37/10 for 3.7), a
// carrier offset from its NCO, complex white Gaussian noise from cawgn, and the samples written
// with fwrite as cf32 (interleaved little-endian float32 I,Q). It works in blocks that stay in
// cache, as liquid's own examples do, so that the comparison measures the library. (liquid's
// symbol stream objects do the same work; their arbitrary-rate form resamples one sample per
// call through a multi-stage resampler and took half as long again at fs/Rs 3.7.)
//
// Usage: liquid_qpsk OUT SAMPLES FS/RS OFFSET/FS SNR_DB [SEED]
//   FS/RS is a ratio of integers P/Q with Q up to 1000; OFFSET/FS is the carrier offset in
//   cycles per sample (37 Hz at 40 kHz: 0.000925).
// The signal has unit power and the noise 10^(-SNR/10) of it over the whole band, as in
// Quorvin's exact model. It prints the CPU seconds (user + system) of the generation and
// writing alone, so that the process's start-up and the library's loading do not count.

#include <liquid/liquid.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "liquid_support.h"

enum { block_samples = 4096, filter_delay = 5 };  // delay 5 symbols: a 10-symbol pulse
static const float rolloff = 0.35f;

static unsigned int gcd(unsigned int a, unsigned int b) {
  while (b != 0) {
    unsigned int r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// The output scale that gives unit power: the resampler's prototype is an RRC at P samples
// per symbol, each output comes from one of its P phases, so a unit-power symbol stream leaves
// with sum(h^2)/P.
static float unit_power_scale(unsigned int p) {
  unsigned int length = 2 * p * filter_delay + 1;
  float* taps = malloc(length * sizeof *taps);
  liquid_firdes_prototype(LIQUID_FIRFILT_RRC, p, filter_delay, rolloff, 0.0f, taps);
  double energy = 0.0;
  for (unsigned int i = 0; i < length; ++i) energy += (double)taps[i] * taps[i];
  free(taps);
  return (float)sqrt(p / energy);
}

int main(int argc, char** argv) {
  if (argc < 6 || argc > 7) {
    fprintf(stderr, "usage: %s OUT SAMPLES FS/RS OFFSET/FS SNR_DB [SEED]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  long long samples = atoll(argv[2]);
  double ratio = atof(argv[3]);
  double offset = atof(argv[4]);
  double snr_db = atof(argv[5]);
  unsigned int seed = argc == 7 ? (unsigned int)strtoul(argv[6], NULL, 10) : 1u;
  unsigned int down = 1000, up = (unsigned int)lround(ratio * down);
  unsigned int common = gcd(up, down);
  up /= common;
  down /= common;
  if (samples <= 0 || !(ratio >= 2.0 && ratio <= 1000.0) || fabs((double)up / down - ratio) > 1e-9 ||
      !(fabs(offset) < 0.5)) {
    fprintf(stderr, "liquid_qpsk: need SAMPLES > 0, FS/RS a ratio P/Q >= 2 with Q <= 1000, |OFFSET/FS| < 0.5\n");
    return 2;
  }
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    return 1;
  }
  srand(seed);  // liquid's symbols and noise both draw from rand()

  double start = cpu_seconds();

  modemcf modem = modemcf_create(LIQUID_MODEM_QPSK);
  rresamp_crcf shaper = rresamp_crcf_create_prototype(LIQUID_FIRFILT_RRC, up, down, filter_delay, rolloff);
  rresamp_crcf_set_scale(shaper, unit_power_scale(up));
  nco_crcf oscillator = nco_crcf_create(LIQUID_NCO);
  nco_crcf_set_frequency(oscillator, (float)(2.0 * M_PI * offset));
  float noise_std = (float)pow(10.0, -snr_db / 20.0);  // cawgn: total complex variance noise_std^2

  // Each call of the resampler turns `down` symbols into `up` samples.
  unsigned int calls = (block_samples + up - 1) / up;
  liquid_float_complex* symbols = malloc((size_t)calls * down * sizeof *symbols);
  liquid_float_complex* block = malloc((size_t)calls * up * sizeof *block);
  for (long long done = 0; done < samples;) {
    for (unsigned int i = 0; i < calls * down; ++i) modemcf_modulate(modem, modemcf_gen_rand_sym(modem), &symbols[i]);
    rresamp_crcf_execute_block(shaper, symbols, calls, block);
    unsigned int n = samples - done < calls * up ? (unsigned int)(samples - done) : calls * up;
    nco_crcf_mix_block_up(oscillator, block, block, n);
    if (write_noisy(block, n, noise_std, out, path) != 0) return 1;
    done += n;
  }
  if (fclose(out) != 0) {
    perror(path);
    return 1;
  }

  double seconds = cpu_seconds() - start;
  modemcf_destroy(modem);
  rresamp_crcf_destroy(shaper);
  nco_crcf_destroy(oscillator);
  free(symbols);
  free(block);
  printf("cpu_seconds %.6f\n", seconds);
  return 0;
}
