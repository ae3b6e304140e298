// Scenes over a recording the test writes itself: white noise of known power and a tone,
// annotated. Its floor is measured, the emitters stand over it by their SNRs inside their boxes,
// the output less the recording's span is the emitters alone, the tone's annotation is carried,
// and what cannot serve is refused by name.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "common/sha512.h"
#include "common/text.h"
#include "dsp_reference.h"
#include "form/options.h"
#include "parameter_names.h"
#include "run_test_support.h"
#include "scene_files.h"
#include "synthesis/background.h"
#include "writers/sigmf.h"

namespace quorvin {
namespace {

using nlohmann::json;

constexpr double fs = 1e6;
constexpr std::int64_t capture = 32768;
constexpr std::size_t recorded = 100000;  // three whole captures and a part
constexpr double tone_frequency = 100e3;

// The written recording: white noise of `power` per sample, a tone of `tone_power` at 100 kHz
// over samples 40000 .. 80000, annotated there.
struct Written {
  std::filesystem::path base;
  Signal samples;
};

// A folder of this run's own, removed at exit.
std::filesystem::path test_folder() {
  struct Folder {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("quorvin-background-" + std::to_string(std::random_device()()));
    Folder() { std::filesystem::create_directories(path); }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Folder folder;
  return folder.path;
}

Written write_recording(const std::string& name, double power, double tone_power, const std::string& datatype = "cf32_le",
                        json global_extra = json::object(), std::size_t samples = recorded) {
  std::mt19937_64 engine(7);
  std::normal_distribution<double> normal(0.0, std::sqrt(power / 2.0));
  Written w{test_folder() / name, {}};
  std::ofstream data(w.base.string() + ".sigmf-data", std::ios::binary);
  for (std::size_t k = 0; k < samples; ++k) {
    Sample x(normal(engine), normal(engine));
    if (k >= 40000 && k < 80000) x += std::polar(std::sqrt(tone_power), 2.0 * pi * tone_frequency / fs * static_cast<double>(k));
    if (datatype == "ci16_le") {
      const std::int16_t iq[2] = {static_cast<std::int16_t>(std::lround(x.real() * 32767.0)),
                                  static_cast<std::int16_t>(std::lround(x.imag() * 32767.0))};
      data.write(reinterpret_cast<const char*>(iq), sizeof iq);
      x = Sample(iq[0] / 32767.0, iq[1] / 32767.0);
    } else {
      const float iq[2] = {static_cast<float>(x.real()), static_cast<float>(x.imag())};
      data.write(reinterpret_cast<const char*>(iq), sizeof iq);
      x = Sample(static_cast<double>(iq[0]), static_cast<double>(iq[1]));
    }
    w.samples.push_back(x);
  }
  json global = {{"core:datatype", datatype}, {"core:sample_rate", fs}, {"core:version", "1.2.5"}};
  global.update(global_extra);
  const json meta = {{"global", global},
                     {"captures", json::array({{{"core:sample_start", 0}, {"core:frequency", 0.0}}})},
                     {"annotations", json::array({{{"core:sample_start", 40000},
                                                   {"core:sample_count", 40000},
                                                   {"core:label", "tone"},
                                                   {"core:freq_lower_edge", tone_frequency - 1000.0},
                                                   {"core:freq_upper_edge", tone_frequency + 1000.0}}})}};
  std::ofstream(w.base.string() + ".sigmf-meta") << meta.dump(2);
  return w;
}

std::variant<RunSettings, Refusal> read_scene_options(const std::string& background, OptionTexts extra = {}) {
  OptionTexts texts = {{"--sample-rate", "1000000"},       {"--samples-per-file", std::to_string(capture)},
                       {"--scene", "wideband"},            {"--snr-min", "10"},
                       {"--snr-max", "20"},                {"--samples-per-symbol-min", "16"},
                       {"--samples-per-symbol-max", "32"}, {"--files-per-modulation", "2"},
                       {"--overlap", "none"},              {"--emitters-min", "2"},
                       {"--emitters-max", "3"},            {"--background", background}};
  for (auto& [key, value] : extra) texts[key] = value;
  return read_options({{"QPSK", "8PSK", "2FSK"}, texts});
}

// The run's settings with the recording opened, as quorvin-cli opens it.
RunSettings opened_settings(const std::string& background) {
  auto read = read_scene_options(background);
  EXPECT_TRUE(std::holds_alternative<RunSettings>(read)) << std::get<Refusal>(read).text;
  RunSettings s = std::get<RunSettings>(std::move(read));
  auto opened = open_background_marked(s);
  EXPECT_TRUE(std::holds_alternative<std::shared_ptr<const BackgroundRecording>>(opened)) << std::get<std::string>(opened);
  s.exact.background_recording = std::get<std::shared_ptr<const BackgroundRecording>>(opened);
  return s;
}

using test::scene_at;

struct FloorCase {
  const char* name;
  double power;
  double tone_power;  // over samples 40000 .. 80000
  std::size_t from;   // the samples measured
  const char* datatype;
  double tolerance;   // relative
};

QUORVIN_PRINT_CASES_BY_NAME

class BackgroundFloor : public testing::TestWithParam<FloorCase> {};

// The median of 256-bin periodograms over 32768 samples: about 1 % standard error on white noise
// alone (neighbouring Hann bins are correlated); a tone lifts the median by about the share of
// bins its main lobe holds (4 of 256), so 4 % with it.
TEST_P(BackgroundFloor, MatchesTheWrittenNoisePower) {
  const FloorCase& c = GetParam();
  const Written w = write_recording(std::string("floor-") + c.name, c.power, c.tone_power, c.datatype);
  const RunSettings s = opened_settings(w.base.string());
  const BackgroundRecording& r = *s.exact.background_recording;
  EXPECT_EQ(r.samples, recorded);
  const Signal span = read_background_span(r, c.from, capture);
  // The samples read are the ones written, to the bit of their type.
  for (std::size_t k = 0; k < span.size(); k += 997) ASSERT_EQ(span[k], w.samples[c.from + k]) << k;
  EXPECT_NEAR(background_noise_power(span) / c.power, 1.0, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(Background, BackgroundFloor,
                         testing::Values(FloorCase{"unit_noise", 1.0, 0.0, 0, "cf32_le", 0.03},
                                         FloorCase{"quiet_ci16", 0.01, 0.0, 0, "ci16_le", 0.03},
                                         FloorCase{"under_a_tone", 2.0, 20.0, 40000, "cf32_le", 0.06},
                                         FloorCase{"ci16_under_a_tone", 0.01, 0.1, 40000, "ci16_le", 0.06}),
                         [](const testing::TestParamInfo<FloorCase>& row) { return std::string(row.param.name); });

// The output less the recording's span is the emitters alone (synthesize_scene without noise), to
// rounding; each emitter alone, so cut out of an output, keeps 99 % of its energy in its box and
// stands at its SNR over the noise power written (not the one measured) within a dB.
TEST(Background, TheOutputLessTheSpanIsTheEmittersEachInItsBoxAtItsSnr) {
  const double power = 0.25;
  const Written w = write_recording("scene", power, 0.0);
  const RunSettings s = opened_settings(w.base.string());
  std::size_t emitters = 0;
  for (std::uint64_t position = 0; position < 4; ++position) {
    SCOPED_TRACE(position);
    const PlannedFile file = scene_at(s, 9, position);
    ASSERT_TRUE(file.scene->fault.empty()) << file.scene->fault;
    // Capture k takes span k mod 3 of the 100000 samples.
    EXPECT_EQ(file.scene->background_start, position % 3 * capture);
    const Signal out = synthesize_scene(s, file);
    const Signal alone = synthesize_scene(s, file, false);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(capture));
    for (std::size_t k = 0; k < out.size(); ++k) {
      const Sample left = out[k] - w.samples[file.scene->background_start + k];
      ASSERT_LE(std::abs(left - alone[k]), 1e-12 * (1.0 + std::abs(out[k]))) << k;
    }
    for (const SceneEmitter& e : file.scene->emitters) {
      SCOPED_TRACE(e.file.modulation);
      ++emitters;
      Signal x = synthesize_scene(s, test::alone_in(file, e));
      double box_energy = 0.0;
      for (std::size_t k = 0; k < x.size(); ++k) {
        x[k] -= w.samples[file.scene->background_start + k];
        const auto at = static_cast<std::int64_t>(k);
        if (at >= e.box.sample_start && at < e.box.sample_start + e.box.sample_count) box_energy += std::norm(x[k]);
      }
      EXPECT_GE(test::band_share(x, fs, e.box.freq_lower_edge, e.box.freq_upper_edge), 0.99);
      const double snr = 10.0 * std::log10(box_energy / static_cast<double>(e.box.sample_count) / power);
      EXPECT_NEAR(snr, e.file.snr_db, 1.0);
    }
  }
  EXPECT_GE(emitters, 8U);
}

struct CarriedCase {
  const char* name;
  std::uint64_t position;
  std::optional<std::array<std::int64_t, 2>> tone;  // its start and count in the capture; none: dropped
};

class BackgroundAnnotations : public testing::TestWithParam<CarriedCase> {};

// The tone over recording samples 40000 .. 80000, as each capture's span sees it.
TEST_P(BackgroundAnnotations, AreCarriedShiftedAndClippedToTheSpan) {
  const CarriedCase& c = GetParam();
  const Written w = write_recording("carried", 1.0, 10.0);
  // Either file of the recording names it.
  const RunSettings s = opened_settings(w.base.string() + ".sigmf-data");
  const PlannedFile file = scene_at(s, 3, c.position);
  ASSERT_TRUE(file.scene->fault.empty()) << file.scene->fault;
  const json meta = json::parse(sigmf_metadata({s, file, static_cast<std::uint64_t>(capture), 3, "test", std::nullopt, ""}));
  const json& ground = meta["global"]["quorvin:background"];
  EXPECT_EQ(ground["file"], "carried.sigmf-data");
  EXPECT_EQ(ground["sample_start"], c.position % 3 * capture);
  EXPECT_EQ(ground["sample_count"], capture);
  EXPECT_EQ(ground["noise_power"], file.scene->noise_power);
  // The digest of the bytes the test wrote.
  EXPECT_EQ(ground["core:sha512"], sha512_hex(test::read_file(w.base.string() + ".sigmf-data")));
  std::vector<json> carried;
  std::int64_t previous = 0;
  for (const json& a : meta["annotations"]) {
    EXPECT_GE(a["core:sample_start"].get<std::int64_t>(), previous);  // SigMF's order
    previous = a["core:sample_start"].get<std::int64_t>();
    if (a.value("quorvin:source", "") == "background") carried.push_back(a);
  }
  EXPECT_EQ(meta["annotations"].size(), file.scene->emitters.size() + carried.size());
  if (!c.tone) {
    EXPECT_TRUE(carried.empty());
    return;
  }
  ASSERT_EQ(carried.size(), 1U);
  EXPECT_EQ(carried[0]["core:sample_start"], (*c.tone)[0]);
  EXPECT_EQ(carried[0]["core:sample_count"], (*c.tone)[1]);
  EXPECT_EQ(carried[0]["core:label"], "tone");
  EXPECT_EQ(carried[0]["core:freq_upper_edge"], tone_frequency + 1000.0);
}

INSTANTIATE_TEST_SUITE_P(
    Background, BackgroundAnnotations,
    testing::Values(CarriedCase{"the_first_span_misses_it", 0, std::nullopt},
                    CarriedCase{"the_second_span_holds_its_start", 1, std::array<std::int64_t, 2>{40000 - 32768, 65536 - 40000}},
                    CarriedCase{"the_third_span_holds_its_end", 2, std::array<std::int64_t, 2>{0, 80000 - 65536}},
                    CarriedCase{"the_fourth_capture_takes_the_first_span", 3, std::nullopt}),
    [](const testing::TestParamInfo<CarriedCase>& row) { return std::string(row.param.name); });

struct RefusalCase {
  const char* name;
  std::function<std::string()> write;  // the recording's base name
  OptionTexts extra;
  std::string message;  // '@' stands for the base name
};

class BackgroundRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(BackgroundRefusal, NamesTheOptionAndTheRecording) {
  const RefusalCase& c = GetParam();
  const std::string base = c.write();
  std::string expected = c.message;
  for (std::size_t at = expected.find('@'); at != std::string::npos; at = expected.find('@', at + base.size())) {
    expected.replace(at, 1, base);
  }
  auto read = read_scene_options(base, c.extra);
  std::string said;
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
    said = refusal->text;
  } else {
    auto opened = open_background_marked(std::get<RunSettings>(read));
    ASSERT_TRUE(std::holds_alternative<std::string>(opened)) << "opened";
    said = std::get<std::string>(opened);
  }
  EXPECT_EQ(command_line_text(said), expected);
}

std::string written(const std::string& name, const std::string& datatype = "cf32_le", json extra = json::object(),
                    std::size_t samples = recorded) {
  return write_recording(name, 1.0, 0.0, datatype, std::move(extra), samples).base.string();
}

// A recording whose metadata is `meta` instead.
std::string with_meta(const std::string& name, const std::string& meta) {
  const std::string base = written(name);
  std::ofstream(base + ".sigmf-meta") << meta;
  return base;
}

INSTANTIATE_TEST_SUITE_P(
    Background, BackgroundRefusal,
    testing::Values(
        RefusalCase{"missing", [] { return (test_folder() / "nothing").string(); }, {},
                    "--background '@' is no SigMF recording: @.sigmf-meta cannot be read"},
        RefusalCase{"not_json", [] { return with_meta("not-json", "{\"global\": "); }, {},
                    "--background '@' is no SigMF recording: its .sigmf-meta is not JSON"},
        RefusalCase{"no_datatype",
                    [] { return with_meta("no-datatype", R"({"global": {"core:sample_rate": 1e6}})"); }, {},
                    "--background '@' is no SigMF recording: its global object has no core:datatype"},
        RefusalCase{"no_data",
                    [] {
                      const std::string base = written("no-data");
                      std::filesystem::remove(base + ".sigmf-data");
                      return base;
                    },
                    {}, "--background '@' is no SigMF recording: @.sigmf-data cannot be read"},
        RefusalCase{"two_channels", [] { return written("two", "cf32_le", {{"core:num_channels", 2}}); }, {},
                    "--background '@' holds 2 channels; one is taken"},
        RefusalCase{"real_samples", [] { return written("real", "rf32_le"); }, {},
                    "--background '@' holds rf32_le samples; cf32_le or ci16_le are taken"},
        RefusalCase{"shorter_than_a_capture", [] { return written("short", "cf32_le", json::object(), 1000); }, {},
                    "--background '@' holds 1000 samples, fewer than one capture of --samples-per-file 32768"},
        RefusalCase{"another_sample_rate", [] { return written("rate"); }, {{"--sample-rate", "2000000"}},
                    "--background '@' was recorded at 1e+06 Hz, not the --sample-rate 2e+06 Hz: give --sample-rate 1e+06"},
        RefusalCase{"another_frequency", [] { return written("tuned"); }, {{"--rf-frequency", "915000000"}},
                    "--background '@' is tuned to 0 Hz, not the --rf-frequency 9.15e+08 Hz: give --rf-frequency 0"},
        RefusalCase{"another_digest", [] { return written("digest", "cf32_le", {{"core:sha512", std::string(128, '0')}}); }, {},
                    "--background '@': its .sigmf-data does not match its core:sha512"},
        RefusalCase{"no_noise", [] { return written("inf"); }, {{"--snr-min", "inf"}, {"--snr-max", "inf"}},
                    "--background '@' takes finite SNRs: --snr-min and --snr-max give each emitter's power over the "
                    "recording's noise floor"},
        RefusalCase{"no_scene", [] { return written("single"); }, {{"--scene", "none"}},
                    "--background applies to --scene wideband only: it is the ground a scene's emitters are laid over"}),
    [](const testing::TestParamInfo<RefusalCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace quorvin
