// Stages with nothing to do must hand their input back as it is, without copying it: a skipped
// stage then costs nothing, and the file's peak memory holds one signal fewer.

#include "channel/noise.h"
#include "channel/timing.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

struct PassCase {
  const char* name;
  std::function<Signal(Signal)> stage;
};

class PassThrough : public ::testing::TestWithParam<PassCase> {};

TEST_P(PassThrough, HandsBackTheSameBufferBitForBit) {
  Signal in(4096);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = unit_phasor(0.3 * static_cast<double>(i));
  in[5] = {-0.0, 0.0};
  const Signal expected = in;
  const Sample* buffer = in.data();
  const Signal out = GetParam().stage(std::move(in));
  EXPECT_EQ(out.data(), buffer);
  EXPECT_TRUE(test::same_bits(out, expected));
}

using test::inf;

INSTANTIATE_TEST_SUITE_P(
    Stages, PassThrough,
    ::testing::Values(
        PassCase{"resample_equal_rates",
                 [](Signal s) { return resample_to_sample_rate(std::move(s), 2500.0, 2500.0); }},
        PassCase{"resample_zero_symbol_rate",
                 [](Signal s) { return resample_to_sample_rate(std::move(s), 0.0, 2500.0); }},
        PassCase{"resample_negative_sample_rate",
                 [](Signal s) { return resample_to_sample_rate(std::move(s), 1000.0, -1.0); }},
        PassCase{"timing_error_zero",
                 [](Signal s) { return apply_timing_error(std::move(s), 0.0, 1000.0, 8000.0); }},
        PassCase{"timing_error_minus_zero",
                 [](Signal s) { return apply_timing_error(std::move(s), -0.0, 1000.0, 8000.0); }},
        PassCase{"frequency_offset_zero",
                 [](Signal s) { return apply_frequency_offset(std::move(s), 8000.0, 0.0); }},
        PassCase{"frequency_offset_minus_zero",
                 [](Signal s) { return apply_frequency_offset(std::move(s), 8000.0, -0.0); }},
        PassCase{"awgn_infinite_snr", [](Signal s) { return add_awgn(std::move(s), inf, 7u); }}),
    test::CaseName());

}  // namespace
}  // namespace quorvin
