// The liquid-dsp peer of the exact QPSK benchmark: random QPSK symbols through liquid's symbol
// stream (root-raised-cosine interpolation; for a non-integer fs/Rs its arbitrary-rate form,
// a 2-samples-per-symbol interpolator followed by a multi-stage resampler), a carrier offset
// from its NCO, complex white Gaussian noise from cawgn, and the samples written with fwrite as
// cf32 (interleaved little-endian float32 I,Q). It is written the way liquid's own examples use
// these objects, in blocks that stay in cache, so that the comparison measures the library.
//
// Usage: liquid_qpsk OUT SAMPLES FS/RS OFFSET/FS SNR_DB [SEED]
//   OFFSET/FS is the carrier offset in cycles per sample (37 Hz at 40 kHz: 0.000925).
// The signal has unit power and the noise 10^(-SNR/10) of it over the whole band, as in
// Quorvin's exact model. It prints the CPU seconds (user + system) of the generation and
// writing alone, so that the process's start-up and the library's loading do not count.

#include <liquid/liquid.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

enum { block_samples = 4096, filter_delay = 5 };  // delay 5 symbols: a 10-symbol pulse
static const float rolloff = 0.35f;

static double cpu_seconds(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + (double)usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec * 1e-6;
}

// The gain before interpolation that gives unit output power: liquid's interpolator passes
// sum(h^2)/k of a unit-power symbol stream. The arbitrary-rate form interpolates by 2 first and
// its resampler keeps the power.
static float unit_power_gain(unsigned int k) {
  unsigned int length = 2 * k * filter_delay + 1;
  float* taps = malloc(length * sizeof *taps);
  liquid_firdes_prototype(LIQUID_FIRFILT_RRC, k, filter_delay, rolloff, 0.0f, taps);
  double energy = 0.0;
  for (unsigned int i = 0; i < length; ++i) energy += (double)taps[i] * taps[i];
  free(taps);
  return (float)sqrt(k / energy);
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
  if (samples <= 0 || !(ratio >= 2.0) || !(fabs(offset) < 0.5)) {
    fprintf(stderr, "liquid_qpsk: need SAMPLES > 0, FS/RS >= 2 and |OFFSET/FS| < 0.5\n");
    return 2;
  }
  FILE* out = fopen(path, "wb");
  if (!out) {
    perror(path);
    return 1;
  }
  srand(seed);  // liquid's symbols and noise both draw from rand()

  double start = cpu_seconds();

  // An integer rate interpolates the symbols directly; anything else needs the resampler.
  int integer_rate = fabs(ratio - round(ratio)) < 1e-9;
  symstreamcf stream = NULL;
  symstreamrcf stream_r = NULL;
  if (integer_rate) {
    unsigned int k = (unsigned int)round(ratio);
    stream = symstreamcf_create_linear(LIQUID_FIRFILT_RRC, k, filter_delay, rolloff, LIQUID_MODEM_QPSK);
    symstreamcf_set_gain(stream, unit_power_gain(k));
  } else {
    stream_r = symstreamrcf_create_linear(LIQUID_FIRFILT_RRC, (float)(1.0 / ratio), filter_delay, rolloff,
                                          LIQUID_MODEM_QPSK);
    symstreamrcf_set_gain(stream_r, unit_power_gain(2));
  }
  nco_crcf oscillator = nco_crcf_create(LIQUID_NCO);
  nco_crcf_set_frequency(oscillator, (float)(2.0 * M_PI * offset));
  float noise_std = (float)pow(10.0, -snr_db / 20.0);  // cawgn: total complex variance noise_std^2

  static liquid_float_complex block[block_samples];
  for (long long done = 0; done < samples;) {
    unsigned int n = samples - done < block_samples ? (unsigned int)(samples - done) : block_samples;
    if (integer_rate)
      symstreamcf_write_samples(stream, block, n);
    else
      symstreamrcf_write_samples(stream_r, block, n);
    nco_crcf_mix_block_up(oscillator, block, block, n);
    for (unsigned int i = 0; i < n; ++i) cawgn(&block[i], noise_std);
    if (fwrite(block, sizeof block[0], n, out) != n) {
      perror(path);
      return 1;
    }
    done += n;
  }
  if (fclose(out) != 0) {
    perror(path);
    return 1;
  }

  double seconds = cpu_seconds() - start;
  if (stream) symstreamcf_destroy(stream);
  if (stream_r) symstreamrcf_destroy(stream_r);
  nco_crcf_destroy(oscillator);
  printf("cpu_seconds %.6f\n", seconds);
  return 0;
}
