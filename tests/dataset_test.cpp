#include "cli/dataset.h"
#include "cli/hdf5_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <limits>
#include <nlohmann/json.hpp>

#include "run_test_support.h"

namespace quorvin::cli {
namespace {

RunSettings settings() {
  RunSettings s;
  s.sample_rate = 8000;
  s.mix_frequency = -50;
  s.num_symbols = 64;
  s.analog_carrier_frequency = 1200;
  s.analog_deviation = 300;
  return s;
}

TEST(SigmfMetadata, AnalogFileWithoutNoiseOrSeed) {
  PlannedFile fm;
  fm.modulation = "FM";
  fm.index = 3;
  fm.amplitude = 0.75;
  fm.snr_db = std::numeric_limits<double>::infinity();
  fm.message_frequency = 440;
  const auto meta = nlohmann::json::parse(sigmf_metadata(settings(), fm, 64, std::nullopt));
  const auto& g = meta["global"];
  EXPECT_TRUE(g["quorvin:snr_db"].is_null());  // no noise: JSON has no infinity
  EXPECT_EQ(g["quorvin:frequency_deviation"], 300.0);
  EXPECT_EQ(g["quorvin:carrier_frequency"], 1200.0);
  EXPECT_EQ(g["quorvin:amplitude"], 0.75);
  EXPECT_FALSE(g.contains("quorvin:run_seed"));
  EXPECT_FALSE(g.contains("quorvin:symbol_rate"));
  EXPECT_EQ(g["core:sample_rate"], 8000.0);
  EXPECT_EQ(meta["captures"][0]["core:frequency"], -50.0);
}

TEST(SigmfMetadata, SeededDigitalFileRecordsItsSeeds) {
  PlannedFile file;
  file.modulation = "APSK32";
  file.symbol_rate = 1000;
  file.seeds = {11u, 22u};
  const auto g = nlohmann::json::parse(sigmf_metadata(settings(), file, 0, 7u))["global"];
  EXPECT_EQ(g["quorvin:run_seed"], 7);
  EXPECT_EQ(g["quorvin:symbol_seed"], 11);
  EXPECT_EQ(g["quorvin:noise_seed"], 22);
  EXPECT_FALSE(g.contains("quorvin:amplitude"));
}

using SigmfRun = test::CliFolder;

// The strongest line of a cf32_le recording, Hz, by a direct DFT over 1 Hz steps then 0.01 Hz.
double strongest_line(const std::string& data, double sample_rate, double from, double to) {
  std::vector<std::complex<double>> x(data.size() / 8);
  for (std::size_t k = 0; k < x.size(); ++k) {
    float parts[2];
    std::memcpy(parts, data.data() + 8 * k, 8);
    x[k] = {parts[0], parts[1]};
  }
  const auto magnitude = [&](double f) {
    std::complex<double> sum = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) sum += x[k] * std::polar(1.0, -2.0 * M_PI * f * static_cast<double>(k) / sample_rate);
    return std::abs(sum);
  };
  double best = from;
  for (double f = from; f <= to; f += 1.0) best = magnitude(f) > magnitude(best) ? f : best;
  for (double f = best - 1.0, top = best; f <= top + 1.0; f += 0.01) best = magnitude(f) > magnitude(best) ? f : best;
  return best;
}

// The signal extension's detail is the file's own: GMSK's drawn BT, and AM-SSB's side, which the
// tone's place against the carrier shows on the samples (drawn per file by default).
TEST_F(SigmfRun, DetailComesFromTheFilesOwnValues) {
  const std::string out = sub("r1");
  for (const char* sideband : {"upper", "random"}) {
    ASSERT_EQ(run({"-m", "GMSK,AM-SSB", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "4096",
                   "--gmsk-bt-min", "0.6", "--gmsk-bt-max", "0.6", "--sideband", sideband, "--files-per-modulation", "6",
                   "--snr-min", "inf", "--snr-max", "inf", "--seed", "1", "--format", "sigmf", "-o", out, "-q"})
                  .status,
              0);
    std::set<std::string> sides;
    for (int index = 1; index <= 6; ++index) {
      const std::string stem = out + "/AM-SSB_signal_" + std::to_string(index);
      const auto meta = nlohmann::json::parse(test::read_file(stem + ".sigmf-meta"));
      const auto& g = meta["global"];
      const std::string side = g["quorvin:sideband"];
      EXPECT_EQ(meta["annotations"][0]["signal:detail"]["carrier_variant"], side + " sideband");
      const double carrier = g["quorvin:carrier_frequency"].get<double>() + g["quorvin:frequency_offset"].get<double>();
      const double tone = strongest_line(test::read_file(stem + ".sigmf-data"), 100000, carrier - 2100, carrier + 2100);
      EXPECT_NEAR(std::abs(tone - carrier), g["quorvin:message_frequency"].get<double>(), 0.1) << stem;
      EXPECT_EQ(tone > carrier ? "upper" : "lower", side) << stem;
      if (std::string(sideband) == "upper") {
        EXPECT_EQ(side, "upper");
      }
      sides.insert(side);
      const auto gmsk = nlohmann::json::parse(test::read_file(out + "/GMSK_signal_" + std::to_string(index) + ".sigmf-meta"));
      EXPECT_EQ(gmsk["global"]["quorvin:gmsk_bt"], 0.6);
      EXPECT_EQ(gmsk["annotations"][0]["signal:detail"]["class_variant"], "GMSK, BT 0.6");
    }
    if (std::string(sideband) == "random") {
      EXPECT_EQ(sides.size(), 2u) << "both sides drawn among six files";
    }
  }
}

class Manifest : public test::TempFolder {};

TEST_F(Manifest, HeaderThenOneExactRowPerFile) {
  RunSettings s = settings();
  s.save_settings_file = true;
  PlannedFile qpsk;
  qpsk.modulation = "Pi/4-DQPSK";
  qpsk.index = 2;
  qpsk.symbol_rate = 0.1;
  qpsk.snr_db = 10;
  qpsk.timing_error = -0.25;
  qpsk.frequency_offset = 1e-300;
  qpsk.seeds = {5u, 6u};
  ProducedFile failed;
  ProducedFile saved;
  saved.saved = true;
  saved.samples = 64;
  const auto path = folder() / "m.csv";
  {
    ManifestWriter writer(path, s, SampleFormat::csv, 1u);
    ASSERT_TRUE(writer.is_open());
    writer.add(qpsk, saved);
    writer.add(qpsk, failed);
    ASSERT_TRUE(writer.finish());
  }
  const std::string row = "Pi_4-DQPSK_signal_2.csv,,Pi_4-DQPSK_signal_2.txt,Pi/4-DQPSK,6,2,";
  EXPECT_EQ(test::read_file(path),
            "sample_file,metadata_file,settings_file,modulation,class_index,file_index,num_samples,saved,"
            "sample_rate,mix_frequency,num_symbols,snr_db,symbol_rate,timing_error,frequency_offset,"
            "amplitude,message_frequency,carrier_frequency,frequency_deviation,symbol_seed,noise_seed,"
            "signal_model,realised_symbol_rate,samples_per_symbol,symbols_spanned,apparent_message_frequency,pulse,"
            "rolloff,filter_span,modulation_index,gmsk_bt,es_n0_db,eb_n0_db,start_offset,sideband,am_index,fading,"
            "fading_delays,fading_gains,fading_k,doppler,fading_taps,carrier_phase,phase_noise,clock_ppm,rf_frequency,"
            "iq_amplitude,iq_phase,dc_offset_i,dc_offset_q,pa_backoff,pa_smoothness,adc_bits,adc_backoff\n" +
                // Pi/4-DQPSK is never resampled: one sample per symbol, so its symbols go at the sample rate.
                row + "64,true,8000,-50,64,10,0.1,-0.25,1e-300,,,,,5,6,classic,8000,1,64" + std::string(29, ',') + "\n" +
                row + "0,false,8000,-50,64,10,0.1,-0.25,1e-300,,,,,5,6,classic,8000,1,64" + std::string(29, ',') + "\n");
}

// What the container's flush saw: how often it ran, and which names stood in the folder then.
struct FlushSeen {
  int calls = 0;
  bool temporary_there = false;
  bool final_there = false;
  bool succeed = true;
  std::filesystem::path final_name;
};
FlushSeen flush_seen;

bool seeing_flush(std::FILE* file) {
  ++flush_seen.calls;
  flush_seen.temporary_there = file != nullptr && std::filesystem::exists(flush_seen.final_name.string() + ".partial");
  flush_seen.final_there = std::filesystem::exists(flush_seen.final_name);
  return flush_seen.succeed;
}

class Hdf5Container : public test::TempFolder {};

// The container is flushed to its disk once, through a file open on its temporary, before the
// rename; a flush that fails fails the container and leaves neither name behind.
TEST_F(Hdf5Container, FlushedBeforeItsRenameAndAFailedFlushLeavesNothing) {
  if (!hdf5_available()) GTEST_SKIP() << "built without HDF5";
  for (const bool succeed : {true, false}) {
    flush_seen = FlushSeen{0, false, false, succeed, folder() / (succeed ? "kept.h5" : "failed.h5")};
    {
      Hdf5Writer writer(flush_seen.final_name, settings(), 1, 16, false, seeing_flush);
      ASSERT_TRUE(writer.is_open()) << writer.failure();
      EXPECT_EQ(writer.finish(), succeed);
      if (!succeed) {
        EXPECT_NE(writer.failure().find("storage device"), std::string::npos) << writer.failure();
      }
    }
    EXPECT_EQ(flush_seen.calls, 1);
    EXPECT_TRUE(flush_seen.temporary_there);
    EXPECT_FALSE(flush_seen.final_there);
    EXPECT_EQ(std::filesystem::exists(flush_seen.final_name), succeed);
    EXPECT_FALSE(std::filesystem::exists(flush_seen.final_name.string() + ".partial"));
  }
}

}  // namespace
}  // namespace quorvin::cli
