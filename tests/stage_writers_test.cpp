// Every label of every stage of the channel's table reaches every writer: a written settings file,
// SigMF metadata, manifest and HDF5 container each hold one entry per stage label, so a stage that
// a writer forgot fails here.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plan/stages/stage.h"
#include "run_test_support.h"
#include "writers/hdf5_container.h"

namespace quorvin {
namespace {

using StageWriters = test::CliFolder;

// One exact file with every stage of the table on, and `own` after. A new stage fails the tests
// below until its options are added here, so each writer is checked for its labels too.
// As a shell runs it, each argument quoted; its exit status.
int run_cli(const std::vector<std::string>& arguments) {
  std::string command = QUORVIN_CLI_PATH;
  for (const std::string& a : arguments) command += " '" + a + "'";
  return std::system((command + " > /dev/null").c_str());
}

std::vector<std::string> every_stage_run(const std::vector<std::string>& own) {
  std::vector<std::string> arguments = {
      "-m", "QPSK", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "300", "--seed", "3",
      "--fading", "rician", "--doppler-max", "50", "--carrier-phase", "--phase-noise-max", "5", "--clock-ppm-min", "-20",
      "--clock-ppm-max", "20", "--rf-frequency", "1000000", "--iq-amplitude-max", "1", "--iq-phase-max", "2",
      "--dc-offset-max", "0.1", "--pa-backoff-min", "3", "--pa-backoff-max", "6", "--adc-bits-min", "8",
      "--adc-bits-max", "12"};
  arguments.insert(arguments.end(), own.begin(), own.end());
  return arguments;
}

std::vector<const StageLabel*> stage_labels() {
  std::vector<const StageLabel*> labels;
  for (const ChannelStage* stage : channel_stages()) {
    for (const StageLabel& label : stage->labels) labels.push_back(&label);
  }
  return labels;
}

// The parts of `text` between the separators.
std::set<std::string> parts_of(const std::string& text, char separator = '\n') {
  std::set<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.insert(part);
  return parts;
}

TEST_F(StageWriters, EveryStageLabelIsInTheSettingsFileTheMetadataAndTheManifest) {
  ASSERT_EQ(run_cli(every_stage_run({"--format", "sigmf", "--save-settings", "--manifest", sub("m.csv"), "-o", sub("out")})), 0);
  const auto files = contents("out");
  const std::string settings = files.at("QPSK_signal_1.txt");
  const std::string metadata = files.at("QPSK_signal_1.sigmf-meta");
  const std::string manifest = test::read_file(folder() / "m.csv");
  const std::set<std::string> header = parts_of(manifest.substr(0, manifest.find('\n')), ',');
  std::set<std::string> labelled;
  for (const std::string& line : parts_of(settings)) labelled.insert(line.substr(0, line.find(": ")));
  for (const StageLabel* label : stage_labels()) {
    const std::string key(label->kind.key);
    SCOPED_TRACE(key);
    if (!label->kind.label.empty()) {
      EXPECT_EQ(labelled.count(std::string(label->kind.label)), 1u);
    }
    if (label->kind.in_metadata) {
      EXPECT_NE(metadata.find("\"quorvin:" + key + "\""), std::string::npos);
    }
    if (label->kind.manifest != ManifestPlace::none) {
      EXPECT_EQ(header.count(key), 1u);
    }
  }
}

TEST_F(StageWriters, EveryStageLabelIsAColumnOfTheContainer) {
  if (!hdf5_available()) GTEST_SKIP() << "this build has no HDF5";
  ASSERT_EQ(run_cli(every_stage_run({"--format", "hdf5", "-o", sub("out")})), 0);
  // The container's columns as h5py lists them: another reader than the one that wrote them.
  const std::string listing = sub("columns.txt");
  const std::string command = "/usr/bin/python3 -c \"import sys, h5py; print('\\n'.join(h5py.File(sys.argv[1])['labels']))\" " +
                              sub("out/dataset.h5") + " > " + listing + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "h5py cannot read the container here";
  const std::set<std::string> columns = parts_of(test::read_file(listing));
  for (const StageLabel* label : stage_labels()) {
    if (label->kind.manifest != ManifestPlace::none) {
      EXPECT_EQ(columns.count(std::string(label->kind.key)), 1u) << label->kind.key;
    }
  }
}

}  // namespace
}  // namespace quorvin
