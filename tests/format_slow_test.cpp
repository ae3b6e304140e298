// The sample text against C's "%.6g" over millions of values: every magnitude, the subnormals,
// decimal ties and their neighbours, the values a signal actually holds, and whole files.
// Slow (a few seconds), so it is its own executable with the CTest label "slow".

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "dsp_reference.h"
#include "run_test_support.h"
#include "writers/sample_file.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

// The reference: C's printf, with every NaN spelled "nan" as the sample files spell it.
std::string printf_g(double value) {
  if (std::isnan(value)) return "nan";
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// Counts and reports mismatches rather than stopping at the first, so one run shows the pattern.
class PrintfComparison {
 public:
  void check(double value) {
    ++checked_;
    char text[16];
    const std::string ours(text, format_sample_value(text, value));
    const std::string reference = printf_g(value);
    if (ours != reference && ++mismatches_ <= 10) {
      ADD_FAILURE() << "bits 0x" << std::hex << std::bit_cast<std::uint64_t>(value) << ": \"" << ours
                    << "\", printf gives \"" << reference << "\"";
    }
  }
  // Also the 1, 2 and 3 ulps either side, where the decision between two roundings lies.
  void check_with_neighbours(double value) {
    check(value);
    constexpr double inf = std::numeric_limits<double>::infinity();
    double below = value, above = value;
    for (int step = 0; step < 3; ++step) {
      check(below = std::nextafter(below, -inf));
      check(above = std::nextafter(above, inf));
    }
  }
  ~PrintfComparison() { EXPECT_EQ(mismatches_, 0u) << "of " << checked_ << " values"; }

 private:
  std::uint64_t checked_ = 0;
  std::uint64_t mismatches_ = 0;
};

struct RangeCase {
  const char* name;
  int count;
  double (*draw)(std::mt19937_64&);
};

class FormatAgainstPrintf : public ::testing::TestWithParam<RangeCase> {};

TEST_P(FormatAgainstPrintf, EveryValueMatches) {
  std::mt19937_64 engine(20240611);
  PrintfComparison comparison;
  for (int i = 0; i < GetParam().count; ++i) comparison.check(GetParam().draw(engine));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, FormatAgainstPrintf,
    ::testing::Values(
        // Any bit pattern: every exponent, both signs, NaNs and infinities now and then.
        RangeCase{"any_bits", 3000000, [](std::mt19937_64& e) { return std::bit_cast<double>(e()); }},
        // Subnormals: exponent field 0, any mantissa, either sign.
        RangeCase{"subnormals", 500000,
                  [](std::mt19937_64& e) { return std::bit_cast<double>(e() & 0x800FFFFFFFFFFFFFull); }},
        // What signal files hold: magnitudes 1e-7 .. 1e8, spread evenly in the logarithm.
        RangeCase{"signal_magnitudes", 2000000,
                  [](std::mt19937_64& e) {
                    const double exponent = std::uniform_real_distribution<double>(-7.0, 8.0)(e);
                    return ((e() & 1) ? -1.0 : 1.0) * std::pow(10.0, exponent);
                  }},
        // Few-digit decimals such as 0.25 or 1234.5, where trailing zeros are removed.
        RangeCase{"short_decimals", 500000,
                  [](std::mt19937_64& e) {
                    const auto digits = static_cast<double>(e() % 100000);  // drawn before the exponent
                    return digits / std::pow(10.0, static_cast<double>(e() % 12));
                  }}),
    test::CaseName());

// Values on or next to the midpoint between two 6-digit results, at every decimal exponent a
// sample value can plausibly have and at the ends of the double range; then the special values.
TEST(FormatAgainstPrintf, DecimalTiesSpecialValuesAndTheirNeighbours) {
  std::mt19937_64 engine(7);
  PrintfComparison comparison;
  for (int exponent = -330; exponent <= 310; ++exponent) {
    const int draws = exponent >= -12 && exponent <= 12 ? 2000 : 40;
    for (int i = 0; i < draws; ++i) {
      // d.ddddd5 x 10^exponent, read as the double nearest to the tie.
      const auto digits = 100000 + static_cast<long>(engine() % 900000);
      const std::string text = std::to_string(digits) + "5e" + std::to_string(exponent - 6);
      const double tie = std::strtod(text.c_str(), nullptr);
      if (!std::isfinite(tie)) continue;
      comparison.check_with_neighbours(tie);
      comparison.check_with_neighbours(-tie);
    }
  }
  // Ties that double holds exactly, the rounding that carries into a new exponent, and the ends
  // of the range: zero, the subnormals' smallest, the normals' smallest and largest, infinity, NaN.
  using limits = std::numeric_limits<double>;
  for (const double exact : {999999.5, 99999.95, 0.5, 2.5, 1000005.0, 9999995.0, 0.0001, 0.00001, 9.999995e-5,
                             9.9999949999e-5, 999999.49999, 100000.0, 1e6, 1e-5, 0.0, limits::denorm_min(),
                             limits::min(), limits::max(), limits::infinity(), limits::quiet_NaN(),
                             limits::signaling_NaN()}) {
    comparison.check_with_neighbours(exact);
    comparison.check_with_neighbours(-exact);
  }
}

// A whole file, of line lengths that vary from 4 to 29 bytes so that every position of a line
// against the writer's internal blocks and buffer flushes occurs, against printf line by line.
// Its values are finite: the writer fails a file of infinities or NaNs (their text is above).
class SampleFileText : public test::TempFolder {};

TEST_F(SampleFileText, WholeFileMatchesPrintfLineByLine) {
  std::mt19937_64 engine(3);
  Signal signal(200000);
  for (Sample& s : signal) {
    const auto draw = [&engine]() {
      switch (engine() % 4) {
        case 0: {
          double bits = std::bit_cast<double>(engine());
          while (!std::isfinite(bits)) bits = std::bit_cast<double>(engine());
          return bits;
        }
        case 1: return static_cast<double>(engine() % 10);
        case 2: return std::ldexp(static_cast<double>(engine() % 1000000), -static_cast<int>(engine() % 40));
        default: return -1.0 / static_cast<double>(1 + engine() % 7);
      }
    };
    s = {draw(), draw()};
  }
  std::string expected;
  for (const Sample& s : signal) expected += printf_g(s.real()) + "," + printf_g(s.imag()) + "\r\n";
  const auto path = folder() / "lines.csv";
  ASSERT_TRUE(write_sample_file(path, signal));
  const std::string written = test::read_file(path);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);  // not EXPECT_EQ: a mismatch would print megabytes
}

}  // namespace
}  // namespace quorvin
