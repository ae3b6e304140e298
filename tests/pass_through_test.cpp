// Stages with nothing to do must hand their input back as it is, without copying it: a skipped
// stage then costs nothing, and the file's peak memory holds one signal fewer.

#include "channel/noise.h"
#include "channel/timing.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

using Stage = std::function<Signal(Signal)>;

TEST(PassThrough, StagesWithNothingToDoHandBackTheSameBufferBitForBit) {
  const std::pair<const char*, Stage> stages[] = {
      {"resample_equal", [](Signal s) { return resample_to_sample_rate(std::move(s), 2500, 2500); }},
      {"resample_zero_rate", [](Signal s) { return resample_to_sample_rate(std::move(s), 0, 2500); }},
      {"resample_negative_rate", [](Signal s) { return resample_to_sample_rate(std::move(s), 1000, -1); }},
      {"timing_zero", [](Signal s) { return apply_timing_error(std::move(s), 0.0, 1000, 8000); }},
      {"timing_minus_zero", [](Signal s) { return apply_timing_error(std::move(s), -0.0, 1000, 8000); }},
      {"offset_zero", [](Signal s) { return apply_frequency_offset(std::move(s), 8000, 0.0); }},
      {"offset_minus_zero", [](Signal s) { return apply_frequency_offset(std::move(s), 8000, -0.0); }},
      {"awgn_infinite_snr", [](Signal s) { return add_awgn(std::move(s), test::inf, 7u); }},
  };
  for (const auto& [name, stage] : stages) {
    Signal in(4096);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = unit_phasor(0.3 * static_cast<double>(i));
    in[5] = {-0.0, 0.0};
    const Signal expected = in;
    const Sample* buffer = in.data();
    const Signal out = stage(std::move(in));
    EXPECT_EQ(out.data(), buffer) << name;
    EXPECT_TRUE(test::same_bits(out, expected)) << name;
  }
}

}  // namespace
}  // namespace quorvin
