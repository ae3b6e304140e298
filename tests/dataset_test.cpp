#include "writers/hdf5_container.h"
#include "writers/manifest.h"
#include "writers/sigmf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <limits>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <nlohmann/json.hpp>

#include "modulation/catalogue.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "platform/file_sync.h"
#include "run_test_support.h"
#include "synthesis/parameters.h"

namespace quorvin {
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

// An analog file's other fields are pinned by the classic corpus and read back by sigmf_check.py.
TEST(SigmfMetadata, AnalogFileWithoutNoiseOrSeed) {
  PlannedFile fm;
  fm.modulation = "FM";
  fm.index = 3;
  fm.amplitude = 0.75;
  fm.snr_db = std::numeric_limits<double>::infinity();
  fm.message_frequency = 440;
  const auto meta = nlohmann::json::parse(sigmf_metadata({.settings = settings(), .file = fm, .samples = 64, .run_seed = std::nullopt, .recorder = "test", .full_scale = std::nullopt, .data_sha512 = {}}));
  const auto& g = meta["global"];
  EXPECT_TRUE(g["quorvin:snr_db"].is_null());  // no noise: JSON has no infinity
  EXPECT_FALSE(g.contains("quorvin:run_seed"));
  EXPECT_FALSE(g.contains("quorvin:symbol_rate"));
}

using SigmfRun = test::CliFolder;

// The signal extension's detail is the file's own: GMSK's drawn BT, and AM-SSB's side drawn per
// file (the exact model's tests find each file's tone on its labelled side; a fixed side is
// pinned by the exact corpus).
TEST_F(SigmfRun, DetailComesFromTheFilesOwnValues) {
  const std::string out = sub("r1");
  ASSERT_EQ(run({"-m", "GMSK,AM-SSB", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "4096",
                 "--gmsk-bt-min", "0.6", "--gmsk-bt-max", "0.6", "--sideband", "random", "--files-per-modulation", "6",
                 "--snr-min", "inf", "--snr-max", "inf", "--seed", "1", "--format", "sigmf", "-o", out, "-q"})
                .status,
            0);
  std::set<std::string> sides;
  for (int index = 1; index <= 6; ++index) {
    const auto meta = nlohmann::json::parse(test::read_file(out + "/AM-SSB_signal_" + std::to_string(index) + ".sigmf-meta"));
    const std::string side = meta["global"]["quorvin:sideband"];
    EXPECT_EQ(meta["annotations"][0]["signal:detail"]["carrier_variant"], side + " sideband");
    sides.insert(side);
    const auto gmsk = nlohmann::json::parse(test::read_file(out + "/GMSK_signal_" + std::to_string(index) + ".sigmf-meta"));
    EXPECT_EQ(gmsk["global"]["quorvin:gmsk_bt"], 0.6);
    EXPECT_EQ(gmsk["annotations"][0]["signal:detail"]["class_variant"], "GMSK, BT 0.6");
  }
  EXPECT_EQ(sides.size(), 2u) << "both sides drawn among six files";
}

// Every value a file of any name has, in either model with every stage on, is of its kind's
// declared type: the container types a column by it when no file of a run has the value.
TEST(ParameterTypes, EveryValueIsOfItsKindsDeclaredType) {
  for (const SignalModel model : {SignalModel::classic, SignalModel::exact}) {
    RunSettings s = settings();
    s.sample_rate = 1e6;
    s.symbol_rate_min = s.symbol_rate_max = 1000;
    s.amplitude_min = s.amplitude_max = 1;
    s.files_per_modulation = 1;
    s.signal_model = model;
    for (const ModulationRow& row : modulation_catalogue) s.modulations.emplace_back(row.name);
    s.exact.impairments = {.fading = Fading::rician, .doppler_max = 5, .carrier_phase = true, .phase_noise_max = 1,
                           .clock_ppm_max = 1, .rf_frequency = 1e6, .iq_amplitude_max = 1, .iq_phase_max = 1,
                           .dc_offset_max = 1, .pa_backoff_max = 1, .adc_bits_min = 8, .adc_bits_max = 8};
    s.exact.samples_per_file = model == SignalModel::exact ? 64 : 0;
    RunPlan plan(s, 7);
    std::set<std::string_view> seen;
    while (std::optional<PlannedFile> file = plan.next()) {
      file->seeds = derive_file_seeds(7, file->modulation, file->index);
      for (const ParameterRow& row : file_parameters({s, *file, 7u})) {
        EXPECT_EQ(row.value.index(), static_cast<std::size_t>(row.kind->type)) << file->modulation << " " << row.kind->key;
        EXPECT_EQ(parameter_type(row.kind->key), row.kind->type) << row.kind->key;
        seen.insert(row.kind->key);
      }
    }
    if (model != SignalModel::exact) continue;
    // The stages above give every column of an exact run's manifest a value somewhere.
    for (const ManifestPlace place : {ManifestPlace::leading, ManifestPlace::trailing, ManifestPlace::exact_trailing}) {
      for (const std::string_view key : manifest_parameter_keys(place)) EXPECT_EQ(seen.count(key), 1u) << key;
    }
  }
}

// A manifest's header and cells, for every name of both models, are pinned by the corpora;
// sigmf_check.py reads its numbers back against the metadata and the settings files.
class Manifest : public test::TempFolder {};

TEST_F(Manifest, AContainersRowsNameTheirPlaceInIt) {
  PlannedFile am;
  am.modulation = "AM";
  am.index = 1;
  ProducedFile failed;
  ProducedFile saved;
  saved.saved = true;
  saved.samples = 16;
  const auto path = folder() / "m.csv";
  RunSettings s = settings();
  s.output_folder = (folder() / "ds, 2").u16string();  // beside the manifest, a comma in its name
  {
    ManifestWriter writer(path, s, SampleFormat::container, std::nullopt, {}, "dataset-1-of-3.h5");
    ASSERT_TRUE(writer.is_open());
    for (const ProducedFile* produced : {&saved, &failed, &saved}) writer.add(am, *produced);
    ASSERT_TRUE(writer.finish());
  }
  std::istringstream lines(test::read_file(path));
  std::vector<std::string> first_cells;
  for (std::string line; std::getline(lines, line);) first_cells.push_back(line.substr(0, line.find(",AM,")));
  // A file that failed is not in the container: its row names no place. Places are named from the
  // manifest's folder, quoted where the folder's name holds a comma.
  EXPECT_EQ(first_cells, (std::vector<std::string>{first_cells[0], "\"ds, 2/dataset-1-of-3.h5#0\",,", ",,",
                                                   "\"ds, 2/dataset-1-of-3.h5#1\",,"}));
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

// The temporary files in `folder`.
std::vector<std::filesystem::path> temporaries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (is_temporary_file_name(entry.path().filename().string())) found.push_back(entry.path());
  }
  return found;
}

bool seeing_flush(std::FILE* file) {
  ++flush_seen.calls;
  flush_seen.temporary_there = file != nullptr && temporaries(flush_seen.final_name.parent_path()).size() == 1;
  flush_seen.final_there = std::filesystem::exists(flush_seen.final_name);
  return flush_seen.succeed;
}

class Hdf5Container : public test::TempFolder {
 protected:
  void SetUp() override {
    if (!hdf5_available()) GTEST_SKIP() << "built without HDF5";
    test::TempFolder::SetUp();
  }
  // A container of two 16-sample files.
  bool write(const std::filesystem::path& path, const std::function<void()>& before_finish = {}) {
    Hdf5Writer writer(path, settings(), 1, 16, false);
    if (!writer.is_open()) {
      failure = writer.failure();
      return false;
    }
    ProducedFile produced;
    produced.saved = true;
    produced.samples = 16;
    produced.kept.assign(16, {0.5f, -0.25f});
    PlannedFile file;
    file.modulation = "AM";
    for (file.index = 1; file.index <= 2; ++file.index) EXPECT_TRUE(writer.add(file, produced));
    if (before_finish) before_finish();
    const bool finished = writer.finish();
    failure = writer.failure();
    return finished;
  }
  std::string failure;
};

// The container is flushed to its disk once, through its temporary file still open, before the
// rename; a flush that fails fails the container and leaves neither name behind.
TEST_F(Hdf5Container, FlushedBeforeItsRenameAndAFailedFlushLeavesNothing) {
  for (const bool succeed : {true, false}) {
    flush_seen = FlushSeen{0, false, false, succeed, folder() / (succeed ? "kept.h5" : "failed.h5")};
    {
      Hdf5Writer writer(flush_seen.final_name, settings(), 1, 16, false, {.sync = seeing_flush, .abandon = {}});
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
    EXPECT_EQ(temporaries(folder()), std::vector<std::filesystem::path>{});
  }
}

// A run killed while writing its container leaves the temporary behind; the next run's clean-up
// knows it for a temporary of its own and removes it, while a live writer's stays.
TEST_F(Hdf5Container, ALeftoverTemporaryIsClearedByTheRunsCleanUp) {
  const WriteContext held{.sync = nullptr, .abandon = {}, .hold = platform::hold_temporary,
                          .remove_stale = platform::remove_unheld_temporary};
  const auto path = folder() / "dataset.h5";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Hdf5Writer writer(path, settings(), 1, 16, false, held);
    ProducedFile produced;
    produced.saved = true;
    produced.kept.assign(16, {1.0f, 0.0f});
    PlannedFile file;
    file.modulation = "AM";
    _exit(writer.add(file, produced) ? 0 : 1);  // no destructor runs, as after a kill
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(temporaries(folder()).size(), 1u);
  {
    Hdf5Writer live(path, settings(), 1, 16, false, held);
    ASSERT_TRUE(live.is_open()) << live.failure();
    EXPECT_EQ(remove_stale_temporaries(folder(), held), 1u);
    EXPECT_EQ(temporaries(folder()).size(), 1u) << "the live writer's own stays";
    live.abandon();
  }
  EXPECT_EQ(temporaries(folder()), std::vector<std::filesystem::path>{});
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A temporary removed (by hand, by another run) or replaced by a link while the container was
// written fails it: the earlier container stays and the link's file is untouched.
TEST_F(Hdf5Container, ATemporaryThatVanishedIsAFailureNeverAnEmptyContainer) {
  const auto victim = folder() / "victim";
  for (const bool plant_link : {false, true}) {
    std::ofstream(victim) << "victim";
    const auto path = folder() / "dataset.h5";
    std::ofstream(path) << "earlier";
    const bool finished = write(path, [&] {
      const std::vector<std::filesystem::path> found = temporaries(folder());
      ASSERT_EQ(found.size(), 1u);
      std::filesystem::remove(found[0]);
      if (plant_link) std::filesystem::create_symlink(victim, found[0]);
    });
    EXPECT_FALSE(finished);
    EXPECT_EQ(failure, "its temporary file was removed or replaced while it was written");
    EXPECT_EQ(test::read_file(path), "earlier");
    EXPECT_EQ(test::read_file(victim), "victim");
    for (const auto& name : temporaries(folder())) std::filesystem::remove(name);
  }
}

// The container's temporary has a fresh name of its own, so a link planted at a name an earlier
// version used is never written through; a link at the final name is followed, as a sample
// file's is (a folder, a FIFO and a full disk are refused as the run's faults show).
TEST_F(Hdf5Container, ALinkBesideItIsNeverFollowedOneAtItsNameIs) {
  const auto victim = folder() / "victim";
  std::ofstream(victim) << "victim";
  std::filesystem::create_symlink(victim, folder() / "dataset.h5.partial");
  ASSERT_TRUE(write(folder() / "dataset.h5")) << failure;
  EXPECT_EQ(test::read_file(victim), "victim");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(folder() / "dataset.h5")));
  EXPECT_TRUE(test::read_file(folder() / "dataset.h5").starts_with("\x89HDF\r\n\x1a\n"));
  std::filesystem::create_symlink(victim, folder() / "link.h5");
  ASSERT_TRUE(write(folder() / "link.h5")) << failure;
  EXPECT_TRUE(std::filesystem::is_symlink(folder() / "link.h5"));
  EXPECT_TRUE(test::read_file(victim).starts_with("\x89HDF\r\n\x1a\n"));
  EXPECT_EQ(temporaries(folder()), std::vector<std::filesystem::path>{});
}

}  // namespace
}  // namespace quorvin
