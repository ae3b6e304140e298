#include "modulation/fft.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

Signal ramp_signal(std::size_t n) {
  Signal x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = {std::sin(0.37 * t) + 0.25 * t / static_cast<double>(n), std::cos(1.3 * t * t) - 0.5};
  }
  return x;
}

// Powers of two, primes and other lengths, against the direct sum both ways and round trip.
TEST(Fft, MatchesNaiveDftBothWaysAndRoundTrips) {
  const std::size_t lengths[] = {2,  3,  4,   5,   6,   7,   8,   11,  12,  13,   16,   17,
                                 31, 64, 97, 100, 127, 128, 243, 256, 257, 1000, 1021, 1024};
  for (const std::size_t n : lengths) {
    const Signal x = ramp_signal(n);
    const double tolerance = 1e-12 * static_cast<double>(n) + 1e-12;
    const Signal forward = fft(x, FftDirection::forward);
    EXPECT_LT(test::max_abs_difference(forward, test::naive_dft(x, false)), tolerance * static_cast<double>(n)) << n;
    EXPECT_LT(test::max_abs_difference(fft(x, FftDirection::inverse), test::naive_dft(x, true)), tolerance) << n;
    EXPECT_LT(test::max_abs_difference(fft(forward, FftDirection::inverse), x), 1e-12) << n;
  }
}

// The unreordered pair convolves: forward both factors, multiply in bit-reversed order, back;
// n times the direct circular sum (the inverse leaves the 1/n to the caller), in the vector
// kernels' two-at-a-time loop and in the single last butterfly of an odd count.
TEST(Fft, BitReversedPairIsACircularConvolution) {
  for (const std::size_t n : {2u, 4u, 64u, 2048u}) {
    Signal x = ramp_signal(n);
    Signal h(n);
    for (std::size_t i = 0; i < n; ++i) h[i] = std::polar(1.0, 0.01 * static_cast<double>(i * i));
    Signal direct(n);
    for (std::size_t m = 0; m < n; ++m) {
      for (std::size_t i = 0; i < n; ++i) direct[m] += x[i] * h[(m + n - i) % n] * static_cast<double>(n);
    }
    const FftPlan forward = fft_plan(n, FftDirection::forward);
    const FftPlan inverse = fft_plan(n, FftDirection::inverse);
    fft_to_bit_reversed(forward, x);
    fft_to_bit_reversed(forward, h);
    Signal out(n);
    fft_product_from_bit_reversed(inverse, x, h, out);
    EXPECT_LT(test::max_abs_difference(out, direct), 1e-11 * static_cast<double>(n * n)) << n;
  }
}

// Short transforms keep tables, long ones (padded beyond 2^18) convolve by quarters of the padded
// length and make their twiddles in runs; either way the numbers must be those of the
// whole-vector transform, bit for bit: every length to 300, and long ones, powers of two among
// them, and lengths from just above a quarter of the padded length (the first half's kept values
// fewest) through three eighths (as many as a class of b's transform) to just below half.
// fft_in_place gives the same with or without storage reserved first.
TEST(Fft, SameBitsAsTheWholeVectorTransform) {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (const std::size_t n : {1000u, 4097u, 65537u, 131072u, 131073u, 140001u, 196607u, 196609u, 262143u, 524288u}) {
    lengths.push_back(n);
  }
  for (const std::size_t n : lengths) {
    Signal x = ramp_signal(n);
    if (n > 2) x[2] = {-0.0, -0.0};  // a sign of zero must survive too
    for (const bool inverse : {false, true}) {
      const FftDirection direction = inverse ? FftDirection::inverse : FftDirection::forward;
      const Signal expected = test::whole_vector_fft(x, inverse);
      ASSERT_TRUE(test::same_bits(fft(x, direction), expected)) << n << (inverse ? " inverse" : " forward");
      Signal reserved;
      reserved.reserve(fft_storage(n));
      reserved.assign(x.begin(), x.end());
      fft_in_place(reserved, direction);
      ASSERT_TRUE(test::same_bits(reserved, expected)) << n << (inverse ? " inverse" : " forward");
    }
  }
}

// Padded transforms borrow the vector's storage up to the padded length while it is 2^18 or less;
// longer ones work beside it and leave it at the length. The capacity after the transform is
// what fft_storage says, whether or not it was reserved first.
TEST(Fft, StorageIsTheLengthOrBluesteinsPaddedLength) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 0},       {1, 1},           {2, 2},           {3, 8},           {4, 4},
      {5, 16},      {8, 8},           {9, 32},          {1000, 2048},     {1024, 1024},
      {1025, 4096}, {131071, 262144}, {131072, 131072}, {131073, 131073}, {262143, 262143}};
  for (const auto& [n, storage] : cases) {
    EXPECT_EQ(fft_storage(n), storage) << n;
    Signal values = ramp_signal(n);
    values.shrink_to_fit();
    fft_in_place(values, FftDirection::forward);
    EXPECT_EQ(values.size(), n);
    EXPECT_EQ(values.capacity(), storage) << n;
  }
}

}  // namespace
}  // namespace quorvin
