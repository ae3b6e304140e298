// Runs the built quorvin-cli as a user's script would and checks what it prints, writes and
// returns.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "parameter_names.h"
#include "run_test_support.h"
#include "writers/hdf5_container.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

namespace fs = std::filesystem;
using test::Outcome;
using test::with;

using Cli = test::CliFolder;

enum class Build { any, with_hdf5, without_hdf5 };  // the builds a case holds for

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;  // "OUT" in them and in `error` stands for the output folder, "KNOWN" in
                                       // `error` for the names an unknown name's refusal lists
  std::string error;                   // exact standard error, or a part of it when `exact` is false
  std::function<void(const std::string& path)> prepare = {};  // makes OUT.toml, for --config OUT.toml
  bool exact = true;
  Build build = Build::any;
};

// What stands at OUT.toml: a file of `text`, or a FIFO.
std::function<void(const std::string&)> config_file(std::string text) {
  return [text](const std::string& path) { std::ofstream(path, std::ios::binary) << text; };
}
void make_fifo(const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0); }

std::string replace_out(std::string text, const std::string& out) {
  for (std::size_t at = text.find("OUT"); at != std::string::npos; at = text.find("OUT", at + out.size())) {
    text.replace(at, 3, out);
  }
  return text;
}

class CliUsage : public Cli, public ::testing::WithParamInterface<UsageCase> {
 protected:
  // What an unknown name's refusal lists, from --list-modulations: every name, then "all",
  // "every" and each group.
  std::string known_names() {
    std::string names;
    std::vector<std::string> words = {"all", "every"};
    std::istringstream lines(run({"--list-modulations"}).out);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tab = line.find('\t');
      names += (names.empty() ? "" : ", ") + line.substr(0, tab);
      const std::string group = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
      if (std::find(words.begin(), words.end(), group) == words.end()) words.push_back(group);
    }
    std::string selections;
    for (const std::string& word : words) selections += (selections.empty() ? "" : ", ") + word;
    return names + "; or " + selections;
  }
};

TEST_P(CliUsage, RefusedWithStatusTwoBeforeAnyFile) {
  if (GetParam().build == (hdf5_available() ? Build::without_hdf5 : Build::with_hdf5)) {
    GTEST_SKIP() << (hdf5_available() ? "this build has HDF5" : "this build has no HDF5 (QUORVIN_HDF5=OFF or no libhdf5-dev)");
  }
  const std::string out = sub("out");
  if (GetParam().prepare) GetParam().prepare(out + ".toml");
  std::vector<std::string> arguments;
  for (const std::string& a : GetParam().arguments) arguments.push_back(replace_out(a, out));
  const Outcome o = run(with({"-o", out}, arguments));  // a bare option last stays bare
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  std::string error = replace_out(GetParam().error, out);
  if (const std::size_t known = error.find("KNOWN"); known != std::string::npos) error.replace(known, 5, known_names());
  if (GetParam().exact) {
    EXPECT_EQ(o.error, error);
  } else {
    EXPECT_NE(o.error.find(error), std::string::npos) << o.error;
  }
  EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out));  // the folder is made before a manifest is opened
}

// The form's message for the box, intact, then the option, what it takes and the text given.
std::string invalid(const std::string& box, const std::string& option, const std::string& takes, const std::string& text) {
  return "quorvin-cli: Invalid " + box + ". " + option + " takes " + takes + ", not '" + text + "'\n";
}
const std::string snr_takes = "a finite number, or inf at both ends for no noise";
// What the option parser refuses, told as the program tells the rest: the option first, then
// what it needs.
std::string refused(const std::string& text) {
  return "quorvin-cli: " + text + "\nRun with --help for the options.\n";
}
std::string own_file(const std::string& name) {
  return "quorvin-cli: --manifest OUT/" + name + " is one of the run's own output files.\n";
}

const UsageCase usage_cases[] = {
    {"no_modulation", {}, "No modulation selected.\nRun with -m NAMES, or --help.\n"},
    {"bad_box", {"-m", "AM", "--snr-min", "x"}, invalid("SNR Min", "--snr-min", snr_takes, "x")},
    // No noise takes both SNR ends infinite: the box holding the lone infinity is named.
    {"lone_infinite_snr_min", {"-m", "AM", "--snr-min", "inf"}, invalid("SNR Min", "--snr-min", snr_takes, "inf")},
    {"lone_infinite_snr_max", {"-m", "AM", "--snr-max", "+inf"}, invalid("SNR Max", "--snr-max", snr_takes, "+inf")},
    {"infinite_snr_of_both_signs", {"-m", "AM", "--snr-min", "inf", "--snr-max", "-inf"}, invalid("SNR Max", "--snr-max", snr_takes, "-inf")},
    {"first_bad_box_only", {"-m", "QPSK", "--amplitude-max", "", "--symbol-rate-min", "0"},
     invalid("Symbol Rate Min", "--symbol-rate-min", "a number above 0", "0")},
    // Texts as typed reach the form's rules (their cases are the form's own tests) and come back
    // quoted where blank.
    {"full_width_digits", {"-m", "AM", "--sample-rate", "\xef\xbc\x91\xef\xbc\x90"},
     invalid("Sample Rate", "--sample-rate", "a number above 0", "\xef\xbc\x91\xef\xbc\x90")},
    {"blank_timing", {"-m", "AM", "--timing-error-min", " "},
     invalid("Symbol Timing Error Min", "--timing-error-min", "a finite number", " ")},
    {"long_number", {"-m", "AM", "--analog-fc", std::string(300, '9') + "x"},
     invalid("Analog Fc", "--analog-fc", "a finite number", std::string(300, '9') + "x")},
    // "--option=" is the empty text, checked like the box.
    {"empty_after_equals", {"-m", "AM", "--symbol-rate-min="}, invalid("Symbol Rate Min", "--symbol-rate-min", "a number above 0", "")},
    // A manifest that cannot serve is refused before the run.
    {"manifest_is_a_sample_file", {"-m", "AM", "--manifest", "OUT/AM_signal_1.csv"}, own_file("AM_signal_1.csv")},
    {"manifest_is_a_settings_file",
     {"-m", "AM", "--files-per-modulation", "2", "--save-settings", "--manifest", "OUT/./AM_signal_2.txt"},
     own_file("./AM_signal_2.txt")},
    {"manifest_is_a_metadata_file", {"-m", "AM", "--format", "sigmf", "--manifest", "OUT/AM_signal_1.sigmf-meta"},
     own_file("AM_signal_1.sigmf-meta")},
    {"manifest_is_the_container", {"-m", "AM", "--format", "hdf5", "--manifest", "OUT/dataset.h5"}, own_file("dataset.h5"),
     {}, true, Build::with_hdf5},
    {"manifest_is_another_shards_container",
     {"-m", "AM", "--format", "hdf5", "--shard", "0/2", "--manifest", "OUT/dataset-1-of-2.h5"}, own_file("dataset-1-of-2.h5"),
     {}, true, Build::with_hdf5},
    {"manifest_is_the_folder", {"-m", "AM", "--manifest", "OUT/"}, "quorvin-cli: --manifest OUT/ is the output folder.\n"},
    {"manifest_without_name", {"-m", "AM", "--manifest", ""}, refused("--manifest needs a file name")},
    {"manifest_folder_missing", {"-m", "AM", "--manifest", "OUT/missing/m.csv"},
     "quorvin-cli: --manifest OUT/missing/m.csv cannot be written (No such file or directory).\n"},
    // A FIFO, which opening would wait on, is refused at once.
    {"manifest_fifo", {"-m", "QPSK", "--manifest", "OUT.toml"},
     "quorvin-cli: --manifest OUT.toml cannot be written (not a regular file or device).\n", make_fifo},
    // What the option parser refuses.
    {"misspelt_option", {"-m", "AM", "--files-per-modulaton", "2"},
     refused("unknown option --files-per-modulaton; did you mean --files-per-modulation?")},
    {"misspelt_with_a_value", {"-m", "AM", "--snr-mni=3"}, refused("unknown option --snr-mni; did you mean --snr-min?")},
    {"nothing_near", {"-m", "AM", "--frobnicate"}, refused("unknown option --frobnicate")},
    {"stray_word", {"-m", "AM", "stray"}, refused("unexpected argument 'stray' (options start with -)")},
    {"bare_choice", {"-m", "AM", "--format"}, refused("--format needs a value: csv, sigmf or hdf5")},
    {"bare_model", {"-m", "AM", "--signal-model"}, refused("--signal-model needs a value: classic or exact")},
    {"bare_number", {"-m", "AM", "--seed"}, refused("--seed needs a value (INTEGER)")},
    {"unknown_name", {"-m", "QPSK,xyz"}, refused("unknown modulation 'xyz'; known: KNOWN")},
    {"empty_name", {"-m", "QPSK,"}, "unknown modulation ''", {}, false},
    {"exact_name_in_the_classic_model", {"-m", "QPSK,Noise", "--signal-model", "classic"},
     refused("the classic model has no 'Noise': it needs --signal-model exact")},
    {"negative_seed", {"-m", "AM", "--seed", "-1"}, "--seed takes a whole number", {}, false},
    {"seed_too_big", {"-m", "AM", "--seed", "4294967296"}, "--seed takes a whole number", {}, false},
    {"shard_out_of_range", {"-m", "AM", "--shard", "3/3"}, "--shard takes K/N", {}, false},
    {"shard_of_zero", {"-m", "AM", "--shard", "0/0"}, "--shard takes K/N", {}, false},
    {"zero_jobs", {"-m", "AM", "-j", "0"}, refused("--jobs takes a whole number of files at once from 1 to 1024, not '0'")},
    {"jobs_not_a_number", {"-m", "AM", "-j", "abc"},
     refused("--jobs takes a whole number of files at once from 1 to 1024, not 'abc'")},
    // A --config file is a page of options: an empty list of names is none, and what is no
    // bounded regular file is refused before it is read (a device or FIFO would be read forever).
    {"config_without_names", {"--config", "OUT.toml"}, "No modulation selected.\nRun with -m NAMES, or --help.\n",
     config_file("modulations = []\n")},
    {"config_device", {"-m", "AM", "--config", "/dev/null"},
     refused("--config /dev/null is not a regular file; it takes a regular file of options of at most 1 MiB")},
    {"config_fifo", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml is not a regular file; it takes a regular file of options of at most 1 MiB"),
     make_fifo},
    {"config_folder", {"-m", "AM", "--config", "/"},
     refused("--config / is a folder; it takes a regular file of options of at most 1 MiB")},
    {"config_missing", {"-m", "AM", "--config", "OUT.none"}, refused("--config OUT.none cannot be read")},
    {"config_unknown_key", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml: line 1: unknown key 'sample-rte'; did you mean sample-rate?"),
     config_file("sample-rte = 3\n")},
    {"config_too_large", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml holds 1048577 bytes; it takes a regular file of options of at most 1 MiB"),
     config_file(std::string((1 << 20) + 1, '#'))},
    // Mistakes: each refusal names what was most likely meant, before what else there is.
    {"name_in_lower_case", {"-m", "qpsk"}, refused("unknown modulation 'qpsk'; did you mean QPSK? Known: KNOWN")},
    {"name_with_a_hyphen", {"-m", "QAM-16"}, refused("unknown modulation 'QAM-16'; did you mean QAM16? Known: KNOWN")},
    {"name_with_letters_swapped", {"-m", "AM,QPKS"}, refused("unknown modulation 'QPKS'; did you mean QPSK? Known: KNOWN")},
    {"group_in_capitals", {"-m", "QAM"}, refused("unknown modulation 'QAM'; did you mean qam? Known: KNOWN")},
    {"name_a_letter_off", {"-m", "GMSC"}, refused("unknown modulation 'GMSC'; did you mean GMSK? Known: KNOWN")},
    {"option_begun", {"-m", "AM", "--snr", "-5"},
     refused("unknown option --snr; did you mean --snr-min, --snr-max or --snr-definition?")},
    {"option_in_capitals", {"-m", "AM", "--Sample-Rate", "1e5"},
     refused("unknown option --Sample-Rate; did you mean --sample-rate?")},
    {"option_with_underscores", {"-m", "AM", "--snr_min=3"}, refused("unknown option --snr_min; did you mean --snr-min?")},
    {"option_two_edits_off", {"-m", "AM", "--snr-mix", "3"},
     refused("unknown option --snr-mix; did you mean --snr-min or --snr-max?")},
    {"names_missing", {"-m"},
     refused("-m/--modulations needs a value: one or more names separated by commas, e.g. QPSK,GMSK; see "
             "--list-modulations")},
    {"format_misspelt", {"-m", "AM", "--format", "sigmff"},
     refused("--format takes csv, sigmf or hdf5, not 'sigmff'; did you mean sigmf?")},
    {"format_far_off", {"-m", "AM", "--format", "json"}, refused("--format takes csv, sigmf or hdf5, not 'json'")},
    {"model_misspelt", {"-m", "AM", "--signal-model", "exakt"},
     refused("--signal-model takes classic or exact, not 'exakt'; did you mean exact?")},
    {"pulse_misspelt", {"-m", "AM", "--pulse", "rct"},
     "quorvin-cli: --pulse takes rrc, rect or linear, not 'rct'; did you mean rect?\n"},
    {"scene_begun", {"-m", "AM", "--scene", "wide"},
     "quorvin-cli: --scene takes none or wideband, not 'wide'; did you mean wideband?\n"},
    {"fading_misspelt", {"-m", "AM", "--fading", "raylegh"},
     "quorvin-cli: --fading takes none, rayleigh or rician, not 'raylegh'; did you mean rayleigh?\n"},
    {"value_given_twice", {"-m", "AM", "--snr-min", "1", "--snr-min=2"},
     refused("--snr-min is given more than once; give it once")},
    // The file's grammar, each refusal with its line (the whole table of cases, through every front
    // end, is python/tests/test_config_front_ends.py).
    {"key_given_twice_in_a_config_file", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml: line 3: the key snr-min is given again (first on line 1); give it once"),
     config_file("snr-min = 1\nsample-rate = 20000\nsnr-min = 2\n")},
    {"config_section", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml: line 1: sections ('[run]') are not taken; write each key at the top level"),
     config_file("[run]\nseed = 1\n")},
    {"config_flag_list", {"-m", "AM", "--config", "OUT.toml"},
     refused("--config OUT.toml: line 1: quiet takes true or false, not [true, false]"),
     config_file("quiet = [true, false]\n")},
    {"config_value_of_a_box", {"-m", "AM", "--config", "OUT.toml"},
     "quorvin-cli: --config OUT.toml: Invalid Sample Rate. --sample-rate takes a number above 0, not '10k'\n",
     config_file("sample-rate = \"10k\"\n")},
    // The command line's own value wins over the file's, and a refusal of it names no file.
    {"command_line_value_over_the_file", {"-m", "AM", "--config", "OUT.toml", "--sample-rate", "x"},
     invalid("Sample Rate", "--sample-rate", "a number above 0", "x"), config_file("sample-rate = 1000\n")},
    // The exact model's options: refused with the classic model, checked, and the band must fit.
    {"compress_without_hdf5", {"-m", "AM", "--compress"}, "--compress applies to --format hdf5 only", {}, false},
    {"settings_files_in_hdf5", {"-m", "AM", "--format", "hdf5", "--save-settings"},
     "--save-settings does not apply to --format hdf5", {}, false, Build::with_hdf5},
    {"hdf5_in_a_build_without_it", {"-m", "AM", "--format", "hdf5"},
     refused("--format hdf5: this build of quorvin-cli has no HDF5 support (" + std::string(hdf5_absence()) + ")"),
     {}, true, Build::without_hdf5},
    {"exact_option_with_classic", {"-m", "AM", "--signal-model", "classic", "--fading", "rician"},
     refused("--fading applies to --signal-model exact only")},
    // Two faults at once: the one read first is told (names, boxes, the model's options, values, band).
    {"name_before_box", {"-m", "AM,bogus", "--sample-rate", "x"}, "unknown modulation 'bogus'", {}, false},
    {"box_before_model", {"-m", "AM", "--pulse", "rect", "--snr-max", "x"},
     invalid("SNR Max", "--snr-max", snr_takes, "x")},
    {"value_before_band", {"-m", "8FSK", "--signal-model", "exact", "--fsk-index-max", "17"},
     "quorvin-cli: --fsk-index-max takes a number above 0 up to 16, not '17'\n"},
    // Braces of the user's own text come through as typed, in a name and in a value.
    {"braces_in_a_value", {"-m", "AM", "--signal-model", "exact", "--rolloff-min", "{x}}"},
     "quorvin-cli: --rolloff-min takes a number from 0 to 1, not '{x}}'\n"},
    {"braces_in_a_name", {"-m", "{{AM}"}, refused("unknown modulation '{{AM}'; did you mean AM or am? Known: KNOWN")},
    {"fading_gains_per_delay", {"-m", "AM", "--signal-model", "exact", "--fading-gains", "0,-3"},
     "quorvin-cli: --fading-gains takes one gain per delay of --fading-delays\n"},
    // Scenes: a capture's length, and the files that hold one signal's labels.
    {"scene_without_length", {"-m", "AM", "--scene", "wideband"},
     "quorvin-cli: --scene wideband takes a capture length: give --samples-per-file\n"},
    {"scene_kind", {"-m", "AM", "--scene", "narrow"}, "quorvin-cli: --scene takes none or wideband, not 'narrow'\n"},
    {"no_emitters", {"-m", "AM", "--emitters-min", "0"}, "quorvin-cli: --emitters-min takes a whole number from 1 to 64, not '0'\n"},
    // A burst of a sample or two has a box as wide as the band: refused, not a failure of every scene.
    {"burst_of_too_few_samples",
     {"-m", "QPSK", "--scene", "wideband", "--samples-per-file", "4096", "--burst-min", "0.0001", "--burst-max", "0.0001"},
     "quorvin-cli: --burst-min takes 0.001953125 or more with --samples-per-file 4096 (a burst of 8 samples at least), "
     "not '0.0001'\n"},
    {"scene_channel_files", {"-m", "AM", "--scene", "wideband", "--samples-per-file", "1024", "--save-channel"},
     "quorvin-cli: --save-channel does not apply to --scene wideband: each emitter has its own channel\n"},
    {"scene_symbol_files", {"-m", "QPSK", "--scene", "wideband", "--samples-per-file", "1024", "--save-symbols"},
     "quorvin-cli: --save-symbols does not apply to --scene wideband: each emitter has its own symbols\n"},
    {"faded_scene_beyond_its_memory",
     {"-m", "QPSK", "--scene", "wideband", "--fading", "rayleigh", "--sample-rate", "1e7", "--samples-per-file", "8388609"},
     "quorvin-cli: --samples-per-file takes at most 8388608 with --scene wideband and --fading: a faded emitter is made "
     "over the whole capture (about 140 bytes a sample held), not '8388609'; fewer samples per file, or no fading\n"},
    {"scene_settings_files", {"-m", "AM", "--scene", "wideband", "--samples-per-file", "1024", "--save-settings"},
     "--save-settings does not apply to --scene wideband", {}, false},
    // Ranges of one name: each entry whole and known; its own rate is what the band check names.
    {"per_name_unknown_key", {"-m", "QPSK", "--per-name", "QPSK:snr=0..5;QPSK:rate=1..2"},
     "quorvin-cli: --per-name takes NAME:KEY=LOW..HIGH", {}, false},
    {"per_name_unknown_name", {"-m", "QPSK", "--per-name", "QPSKK:snr=0..5"}, "not 'QPSKK:snr=0..5'\n", {}, false},
    {"per_name_rate_not_positive", {"-m", "QPSK", "--per-name", "QPSK:symbol-rate=-1..5"}, "not 'QPSK:symbol-rate=-1..5'\n",
     {}, false},
    // Each entry serves the run: read one way only, once, for a name the run makes and that has what it sets.
    {"per_name_three_dots", {"-m", "QPSK", "--per-name", "QPSK:snr=-1...5"},
     "quorvin-cli: --per-name: the ends of 'QPSK:snr=-1...5' are unclear; write each end with a digit beside the dots "
     "(-1..0.5, -1.0..5)\n"},
    {"per_name_twice", {"-m", "QPSK", "--per-name", "QPSK:snr=0..1;QPSK:snr=5..6"},
     "quorvin-cli: --per-name gives QPSK its snr twice: 'QPSK:snr=0..1' and 'QPSK:snr=5..6'\n"},
    {"per_name_both_rates", {"-m", "QPSK", "--per-name", "QPSK:symbol-rate=1000..2000;QPSK:samples-per-symbol=4..8"},
     "quorvin-cli: --per-name gives QPSK both a symbol rate and samples per symbol: 'QPSK:symbol-rate=1000..2000' and "
     "'QPSK:samples-per-symbol=4..8'\n"},
    {"per_name_rate_of_analog", {"-m", "QPSK,AM", "--per-name", "AM:symbol-rate=1000..2000"},
     "quorvin-cli: --per-name: 'AM:symbol-rate=1000..2000' gives a rate to AM, which has no symbols\n"},
    {"per_name_rate_of_noise", {"-m", "Noise", "--per-name", "Noise:samples-per-symbol=2..4"},
     "quorvin-cli: --per-name: 'Noise:samples-per-symbol=2..4' gives a rate to Noise, which has no symbols\n"},
    {"per_name_rate_of_ofdm", {"-m", "OFDM-64", "--per-name", "OFDM-64:symbol-rate=100..200"},
     "quorvin-cli: --per-name: 'OFDM-64:symbol-rate=100..200' gives a rate to OFDM-64, whose symbol rate follows from "
     "its own ranges\n"},
    {"per_name_not_in_the_run", {"-m", "QPSK", "--per-name", "QPSK:snr=0..5;FM:snr=0..5"},
     "quorvin-cli: --per-name: 'FM:snr=0..5' names FM, which is not among the run's names\n"},
    // SNRs whose noise (or a scene's signal over it) no sample could hold.
    {"per_name_snr_beyond_samples", {"-m", "QPSK", "--per-name", "QPSK:snr=-1000..-1000"},
     "snr from -600 to 600, symbol-rate above 0 up to 1e12, or samples-per-symbol from 1 to 1e12), not "
     "'QPSK:snr=-1000..-1000'\n", {}, false},
    {"snr_min_beyond_samples", {"-m", "QPSK", "--snr-min", "-800"},
     "quorvin-cli: --snr-min takes a number from -600 to 600 dB in the exact model (or inf for both: no noise), not "
     "'-800'\n"},
    {"snr_max_beyond_samples", {"-m", "QPSK", "--snr-min", "0", "--snr-max", "1e3"},
     "quorvin-cli: --snr-max takes a number from -600 to 600 dB in the exact model (or inf for both: no noise), not "
     "'1e3'\n"},
    {"per_name_band", {"-m", "QPSK,2FSK", "--per-name", "2FSK:symbol-rate=1000..9000"},
     "quorvin-cli: 2FSK does not fit in the band of the sample rate: its signal may reach from -13500 Hz to 13600 Hz, "
     "beyond -5000 .. 5000 Hz. Raise --sample-rate or narrow --per-name, --frequency-offset-min/max, "
     "--mix-frequency, --fsk-index-max.\n"},
    // A file of payloads: each line whole bytes of hexadecimal digits, each a payload every name of
    // the run can send; the refusal names the line and its text.
    {"payload_not_hex", {"-m", "ADS-B", "--payload", "OUT.toml"},
     "quorvin-cli: --payload line 2 takes pairs of hexadecimal digits (8D40621D, or 8D 40 62 1D), not '8D40XY'\n",
     config_file("202CC371C32CE0\n8D40XY\n")},
    {"payload_odd_digit", {"-m", "ADS-B", "--payload", "OUT.toml"},
     "quorvin-cli: --payload line 1 takes whole bytes, two hexadecimal digits each; '20 2C C' has an odd digit over\n",
     config_file("20 2C C\r\n")},
    {"payload_wrong_length", {"-m", "AIS", "--payload", "OUT.toml"},
     "quorvin-cli: --payload line 1 ('0102'): AIS cannot send it: the payload is the 168-bit message: 21 bytes, not 2\n",
     config_file("0102")},
    {"payload_too_many_bytes", {"-m", "BLE", "--payload", "OUT.toml"},
     "quorvin-cli: --payload line 1 ('" + std::string(64, '0') + "'): BLE cannot send it: the payload is the AdvData: at "
     "most 31 octets, not 32\n", config_file(std::string(64, '0') + "\n")},
    {"payload_longer_than_the_ranges", {"-m", "802.11a/g", "--payload", "OUT.toml", "--wifi-length-max", "20"},
     "quorvin-cli: --payload line 1 ('" + std::string(34, 'A') + "'): 802.11a/g cannot send it: the payload of 17 octets "
     "and its FCS is longer than the longest PSDU of --wifi-length-max (20 octets): raise it\n",
     config_file(std::string(34, 'A') + "\n")},
    {"payload_for_a_name_without", {"-m", "ADS-B,QPSK", "--payload", "OUT.toml"},
     "quorvin-cli: --payload applies to the standards' emitters (ADS-B, POCSAG, AIS, APRS, BLE, 802.11a/g), not to QPSK\n",
     config_file("202CC371C32CE0\n")},
    {"payload_file_missing", {"-m", "ADS-B", "--payload", "OUT.none"}, "quorvin-cli: --payload OUT.none cannot be read\n"},
    {"payload_file_empty", {"-m", "ADS-B", "--payload", "OUT.toml"},
     "quorvin-cli: --payload OUT.toml is empty; it takes a regular file of payloads, one a line, of at most 64 MiB\n",
     config_file("")},
};

INSTANTIATE_TEST_SUITE_P(Cases, CliUsage, ::testing::ValuesIn(usage_cases),
                         [](const ::testing::TestParamInfo<UsageCase>& p) { return std::string(p.param.name); });

struct WarningCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  std::string error;  // exact standard error ("OUT" stands for the output folder)
  std::size_t files;  // written: the run goes on
  Build build = Build::any;
};

class CliWarnings : public Cli, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(CliWarnings, ToldOnceOnStandardErrorAndTheRunGoesOn) {
  if (GetParam().build == Build::with_hdf5 && !hdf5_available()) GTEST_SKIP() << "this build has no HDF5";
  const Outcome o = run(with(GetParam().arguments, {"--num-symbols", "100", "--seed", "1", "-q", "-o", sub("out")}));
  EXPECT_EQ(o.status, GetParam().status);
  EXPECT_EQ(o.error, replace_out(GetParam().error, sub("out")));
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(fs::exists(sub("out")) ? contents("out").size() : 0u, GetParam().files);
}

const std::string warning = "quorvin-cli: warning: ";
const std::string drawn_anyway = "; values are drawn between the two all the same\n";

const WarningCase warning_cases[] = {
    {"defaults", {"-m", "all"}, 0, "", 22},
    {"names_given_twice_add_up", {"-m", "AM", "-m", "QPSK,FM"}, 0, "", 3},
    {"blanks_around_names", {"-m", " QPSK ,\tAM"}, 0, "", 2},
    // Quiet keeps the failures, on standard error.
    {"quiet_failure", {"-m", "OQPSK", "--signal-model", "classic", "--symbol-rate-min", "6000", "--symbol-rate-max", "6000"},
     1, "quorvin-cli: OQPSK: Failed to generate signal: samples_per_symbol must be at least 2 for OQPSK.\n", 0},
    // Noise beyond what a sample holds (the classic model takes any finite SNR) fails the file.
    {"samples_not_finite", {"-m", "AM", "--signal-model", "classic", "--snr-min", "-1e5"}, 1,
     "quorvin-cli: AM_signal_1.csv: a sample is not a finite number in this format (the noise or a stage's level is "
     "beyond what a sample holds)\n", 0},
    {"container_samples_not_finite", {"-m", "QPSK", "--signal-model", "classic", "--snr-min", "-1e5", "--format", "hdf5"}, 1,
     "quorvin-cli: OUT/dataset.h5: QPSK file 1: a sample is not a finite number in this format (the noise or a stage's "
     "level is beyond what a sample holds); no further file is started\n", 0, Build::with_hdf5},
    {"choices_in_any_case",  // the recording's two files and its run's collection
     {"-m", "QPSK", "--format", "SigMF", "--signal-model", "Exact", "--pulse", "RECT", "--sample-rate", "100000"}, 0, "",
     3},
    {"reversed_snr", {"-m", "AM", "--snr-min", "30", "--snr-max", "10"}, 0,
     warning + "--snr-min 30 is above --snr-max 10" + drawn_anyway, 1},
    {"reversed_pairs_in_box_order",
     {"-m", "QPSK", "--amplitude-min", "2", "--symbol-rate-min", "6000", "--symbol-rate-max", "5000"}, 0,
     warning + "--symbol-rate-min 6000 is above --symbol-rate-max 5000" + drawn_anyway + warning +
         "--amplitude-min 2 is above --amplitude-max 1" + drawn_anyway,
     1},
    {"equal_ends", {"-m", "AM", "--snr-min", "inf", "--snr-max", "inf", "--timing-error-min", "0.1"}, 0, "", 1},
    {"symbol_rate_above_sample_rate", {"-m", "QPSK", "--signal-model", "classic", "--symbol-rate-max", "1e4", "--sample-rate", "9999"}, 0,
     warning + "--symbol-rate-max 1e4 is above --sample-rate 9999; digital files get less than one sample per symbol\n",
     1},
    // A classic run's labels that its samples do not realise are told once, at the end.
    {"symbol_rate_without_digital_names", {"-m", "FM", "--signal-model", "classic", "--sample-rate", "4000"}, 0,
     "quorvin-cli: warning: the labels of 1 of 1 files are not what their samples realise (message_frequency: 1 file), "
     "as in the desktop program's files; --signal-model exact makes files whose every label is true\n", 1},
    {"carrier_at_half_the_sample_rate", {"-m", "AM", "--signal-model", "classic", "--sample-rate", "2000"}, 0,
     warning + "--analog-fc 1000 is at or above half of --sample-rate 2000; the analog carrier aliases\n" + warning +
         "the labels of 1 of 1 files are not what their samples realise (message_frequency: 1 file), as in the "
         "desktop program's files; --signal-model exact makes files whose every label is true\n", 1},
    {"negative_carrier_beyond_half", {"-m", "CW", "--signal-model", "classic", "--analog-fc", "-6000"}, 0,
     warning + "--analog-fc -6000 is at or above half of --sample-rate 10000; the analog carrier aliases\n", 1},
    {"carrier_without_analog_names", {"-m", "QPSK", "--analog-fc", "9000"}, 0, "", 1},
    {"no_files", {"-m", "AM", "--files-per-modulation", "0"}, 0, warning + "--files-per-modulation 0: nothing to do\n", 0},
    {"negative_files", {"-m", "AM", "--files-per-modulation", "-3"}, 0,
     warning + "--files-per-modulation -3: nothing to do\n", 0},
    // The exact model's band check serves a carrier at the band's edge with the largest frequency
    // offset (100 Hz) without a word.
    {"exact_serves_the_carrier", {"-m", "CW", "--signal-model", "exact", "--analog-fc", "4900"}, 0, "", 1},
    {"exact_reversed_snr", {"-m", "CW", "--signal-model", "exact", "--snr-min", "3", "--snr-max", "-3"}, 0,
     warning + "--snr-min 3 is above --snr-max -3" + drawn_anyway, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, CliWarnings, ::testing::ValuesIn(warning_cases),
                         [](const ::testing::TestParamInfo<WarningCase>& p) { return std::string(p.param.name); });

// A sample file and its settings file are never from different runs: a run that writes no
// settings takes the earlier settings file away with the sample file it replaces; a read-only one
// keeps the whole earlier pair.
TEST_F(Cli, ARunWithoutSettingsTakesTheEarlierSettingsFileAway) {
  ASSERT_EQ(run({"-m", "AM", "--num-symbols", "1000", "--save-settings", "-o", sub("st")}).status, 0);
  Outcome o = run({"-m", "AM", "--num-symbols", "500", "-o", sub("st")});
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_EQ(o.out, "AM: Saved to " + sub("st") + "/AM_signal_1.csv\n");
  auto files = contents("st");
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(test::occurrences(files["AM_signal_1.csv"], "\n"), 500u);

  const auto earlier = made({"-m", "AM", "--num-symbols", "1000", "--save-settings"}, "st");
  std::filesystem::permissions(folder() / "st" / "AM_signal_1.txt", std::filesystem::perms::owner_read);
  o = run({"-m", "AM", "--num-symbols", "500", "-o", sub("st")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "AM: Failed to save file.\n");
  EXPECT_EQ(o.error, "quorvin-cli: AM_signal_1.txt: Permission denied\n");
  EXPECT_EQ(contents("st"), earlier);
}

TEST_F(Cli, ExtraNamesComeAfterTheFormsRepeatsCountOnceProgressOnlyOnRequest) {
  const Outcome o = run({"-m", "QAM1024,CW,GMSK,AM,GMSK", "--num-symbols", "50", "--progress", "-o", sub("d")});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.error.find("files 4/4"), std::string::npos) << o.error;  // on standard error, never in the report
  std::vector<std::string> names;
  for (std::size_t start = 0; start < o.out.size(); start = o.out.find('\n', start) + 1) {
    names.push_back(o.out.substr(start, o.out.find(':', start) - start));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"AM", "GMSK", "CW", "QAM1024"}));
}

TEST_F(Cli, ExactModelStagesOffChangeNoByteAndJobsChangeNone) {
  const std::vector<std::string> batch = {"-m", "all,CW", "--signal-model", "exact", "--sample-rate", "100000",
                                          "--samples-per-file", "300", "--seed", "3", "--save-settings"};
  const std::vector<std::string> off = {"--fading", "none", "--phase-noise-max", "0", "--clock-ppm-min", "0",
                                        "--adc-bits-min", "0", "--adc-bits-max", "0", "--pa-backoff-max", "0"};
  const std::vector<std::string> on = {"--fading", "rician", "--doppler-max", "50", "--carrier-phase",
                                       "--phase-noise-max", "5", "--clock-ppm-min", "-20", "--clock-ppm-max", "20",
                                       "--iq-amplitude-max", "1", "--dc-offset-max", "0.1", "--pa-backoff-min", "3",
                                       "--pa-backoff-max", "6", "--adc-bits-min", "8", "--adc-bits-max", "12"};
  const auto plain = made(batch, "plain");
  EXPECT_EQ(made(with(batch, off), "off"), plain);
  const auto one_job = made(with(with(batch, on), {"-j", "1"}), "on1");
  EXPECT_EQ(made(with(with(batch, on), {"-j", "2"}), "on2"), one_job);
  EXPECT_NE(one_job.at("QPSK_signal_1.csv"), plain.at("QPSK_signal_1.csv"));
}

// A name's own ranges move only its own draws: every other name's files keep their bytes.
TEST_F(Cli, RangesOfOneNameDrawItsFilesOnly) {
  const std::vector<std::string> batch = {"-m", "QPSK,2FSK,AM", "--sample-rate", "100000", "--samples-per-file", "256",
                                          "--files-per-modulation", "20", "--seed", "4", "--save-settings"};
  const auto plain = made(batch, "run");
  const auto own = made(with(batch, {"--per-name", "2FSK:symbol-rate=1000..2000;2FSK:snr=40..41"}), "own");
  for (const auto& [name, bytes] : plain) {
    if (name.starts_with("2FSK")) continue;
    EXPECT_EQ(own.at(name), bytes) << name;
  }
  for (int k = 1; k <= 20; ++k) {
    const std::string settings = own.at("2FSK_signal_" + std::to_string(k) + ".txt");
    const double rate = std::stod(settings.substr(settings.find("Symbol Rate: ") + 13));
    const double snr = std::stod(settings.substr(settings.find("SNR: ") + 5));
    EXPECT_TRUE(rate >= 1000 && rate <= 2000) << rate;
    EXPECT_TRUE(snr >= 40 && snr <= 41) << snr;
  }
}

TEST_F(Cli, ShardsTogetherMakeTheWholeRunForAnyJobCount) {
  const std::vector<std::string> batch = {"-m", "AM,BPSK,2FSK,APSK32", "--files-per-modulation", "5", "--num-symbols",
                                          "100", "--seed", "5", "--save-settings"};
  ASSERT_EQ(run(with(batch, {"-j", "2", "-o", sub("whole")})).status, 0);
  for (const char* shard : {"0/3", "1/3", "2/3"}) {
    ASSERT_EQ(run(with(batch, {"-j", "1", "--shard", shard, "-o", sub("shards")})).status, 0);
  }
  EXPECT_EQ(contents("whole"), contents("shards"));
  // Shard 1/3 holds exactly plan positions 1, 4, 7, ...: AM 2, AM 5, BPSK 3, 2FSK 1, ...
  const Outcome one = run(with(batch, {"-j", "1", "--shard", "1/3", "-o", sub("one")}));
  EXPECT_EQ(one.out.substr(0, one.out.find('\n')), "AM: Saved to " + sub("one") + "/AM_signal_2.csv");
  EXPECT_EQ(contents("one").size(), 14u);  // 7 of 20 files, each with settings
}

TEST_F(Cli, ListsTheNamesWithTheirGroups) {
  const Outcome list = run({"--list-modulations"});
  EXPECT_EQ(list.status, 0);
  // Each name with its group, a tab apart; a name whose files can be another's says whose and
  // where, and AM-SSB that every and its group leave it out.
  EXPECT_TRUE(list.out.starts_with("AM\tam\nAM-SSB\tssb\tis AM-LSB on its lower side (drawn per file, or --sideband lower); "
                                   "is AM-USB on its upper side (drawn per file, or --sideband upper); not in every or ssb\n"
                                   "FM\tfm\n"));
  EXPECT_NE(list.out.find("\nMSK\tmsk\tis 2FSK where the --fsk-index range holds 0.5\n"), std::string::npos);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 73);
  EXPECT_TRUE(list.out.ends_with("CSS\tchirp\nADS-B\tstandard\tnot in every: its frames need their own rate and length\n"
                                 "POCSAG\tstandard\tnot in every: its frames need their own rate and length\n"
                                 "AIS\tstandard\tnot in every: its frames need their own rate and length\n"
                                 "APRS\tstandard\tnot in every: its frames need their own rate and length\n"
                                 "BLE\tstandard\tnot in every: its frames need their own rate and length\n"
                                 "802.11a/g\tstandard\tnot in every: its frames need their own rate and length\n"));
}

// A dataset described in one file: the same bytes as its options typed out, and the command line's
// own options winning (a name that is no option is refused with the other refusals, above).
TEST_F(Cli, AConfigFileIsItsOptionsTypedOut) {
  std::ofstream(sub("d.toml")) << "# a training set\nmodulations = [\"QPSK\", \"AM\"]\nsignal-model = \"exact\"\n"
                                  "sample-rate = 100000\nsamples-per-file = 256\nsnr-min = -5\nfiles-per-modulation = 2\n"
                                  "seed = 7\nsave-settings = true\nfading = \"rayleigh\"\ncarrier-phase = true\n";
  const auto from_file = made({"--config", sub("d.toml"), "-q"}, "file");
  EXPECT_EQ(from_file.size(), 8u);
  EXPECT_EQ(made({"-m", "QPSK,AM", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", "256",
                  "--snr-min", "-5", "--files-per-modulation", "2", "--seed", "7", "--save-settings", "--fading",
                  "rayleigh", "--carrier-phase", "-q"},
                 "typed"),
            from_file);
  const auto overridden = made({"--config", sub("d.toml"), "--files-per-modulation", "1", "-m", "FM", "-q"}, "over");
  std::vector<std::string> names;
  for (const auto& [name, bytes] : overridden) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"FM_signal_1.csv", "FM_signal_1.txt"}));
}

TEST_F(Cli, TheProgressLineIsRedrawnAFewTimesASecondNotPerFile) {
  const auto start = std::chrono::steady_clock::now();
  const Outcome o = run({"-m", "all", "--files-per-modulation", "40", "--num-symbols", "20", "--progress", "-q",
                         "--seed", "1", "-o", sub("out")});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(o.status, 0) << o.error;
  const std::size_t redraws = test::occurrences(o.error, "\rfiles ");
  // 880 files: the first and the last line, the final line, and at most four a second between.
  EXPECT_GE(redraws, 2u);
  EXPECT_LE(static_cast<double>(redraws), 4.0 * seconds + 4.0) << o.error.size() << " bytes in " << seconds << " s";
  EXPECT_NE(o.error.find("files 880/880"), std::string::npos);
}

// The help's rows that start with `start`.
std::vector<std::string> help_rows(const std::string& help, const std::string& start) {
  std::vector<std::string> rows;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(start)) rows.push_back(line);
  }
  return rows;
}

// The help with each description's wrapped lines joined back onto its option's row.
std::string unwrapped(const std::string& help) {
  std::string joined;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t text = line.find_first_not_of(' ');
    if (text == 36 && !joined.empty()) {
      joined.back() = ' ';
      joined += line.substr(text) + "\n";
    } else {
      joined += line + "\n";
    }
  }
  return joined;
}

TEST_F(Cli, HelpPutsTheRequiredNamesFirstTypesEveryValueAndGroupsTheOptions) {
  unsetenv("COLUMNS");  // not a terminal either: 80 columns
  Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.error, "");
  for (const std::string& row : help_rows(help.out, "")) EXPECT_LE(row.size(), 80u) << row;
  EXPECT_NE(help.out.find("\nExamples:\n  quorvin-cli -m QPSK,AM --files-per-modulation 2 --save-settings -o out\n"),
            std::string::npos);
  help.out = unwrapped(help.out);
  EXPECT_TRUE(help.out.find("\nUsage: quorvin-cli -m NAMES [OPTIONS]\n\nWhat to make:\n  -m, --modulations NAMES REQUIRED  ") !=
              std::string::npos)
      << help.out;
  std::vector<std::string> groups;
  for (const std::string& row : help_rows(help.out, "")) {
    if (!row.empty() && row[0] != ' ' && row.ends_with(":")) groups.push_back(row);
  }
  EXPECT_EQ(groups, (std::vector<std::string>{"What to make:", "Ranges (one value drawn per file):", "Channel:", "Output:",
                                              "Run control:", "Exact model (with --signal-model exact):",
                                              "The desktop program's own (accepted so its settings carry over):",
                                              "Examples:"}));
  EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << "a value typed as text";
  const std::string threads = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  // Whole rows: the option, what its value is, and its default where it has one.
  const std::string rows[] = {
      "  -j, --jobs N                      files produced in parallel (default: " + threads + ", the hardware threads)",
      "  --seed INTEGER                    unsigned 32-bit seed for a reproducible run (default: the clock)",
      "  --fading-delays NUMBER,...        delays of the fading taps, sample periods, comma-separated (exact) (default: "
      "0,1.8,3.4)",
      "  --snr-definition sample|esn0|ebn0 what the SNR range draws: sample (per-sample SNR over the whole band), esn0 "
      "or ebn0 (exact) (default: sample)",
      // A default the models do not share is told for each.
      "  --symbol-rate-min NUMBER          lowest symbol rate drawn, Baud (digital) (default: 2 .. 16 samples per symbol "
      "in the exact model (from the fewest that fit the band to 8 times that where 2 do not) while neither end is "
      "given; 1000 with --symbol-rate-max and in the classic model)",
  };
  for (const std::string& row : rows) EXPECT_EQ(help_rows(help.out, row), std::vector<std::string>{row});
  EXPECT_EQ(help_rows(help.out, "  -o, --output-folder FOLDER ").size(), 1u);
}

TEST_F(Cli, FolderNamesArriveAsTyped) {
  // UTF-8 and bytes that are not UTF-8 alike: a POSIX path is bytes. AM_signal_3.csv is no file
  // of this run, so a manifest like any other.
  for (const std::string name : {"donn\xc3\xa9" "es", "bad\xff\xfename"}) {
    const std::string out = sub(name);
    const Outcome o = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out, "--manifest",
                           out + "/AM_signal_3.csv"});
    EXPECT_EQ(o.status, 0) << o.error;
    EXPECT_EQ(o.out, "AM: Saved to " + out + "/AM_signal_1.csv\nAM: Saved to " + out + "/AM_signal_2.csv\n" +
                         "Manifest saved to " + out + "/AM_signal_3.csv\n");
    EXPECT_EQ(contents(name).size(), 3u);
  }
}

// Peak memory follows the files in flight, not the number of files in the run.
TEST_F(Cli, PeakMemoryDoesNotGrowWithTheNumberOfFiles) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine, so peaks say nothing here";
#endif
  const auto peak = [&](const char* files, const char* jobs, const char* out) {
    const Outcome o = run({"-m", "QPSK", "--num-symbols", "300000", "--symbol-rate-min", "2000", "--symbol-rate-max",
                           "2000", "--files-per-modulation", files, "-j", jobs, "--seed", "1", "-o", sub(out)});
    EXPECT_EQ(o.status, 0);
    return static_cast<double>(o.peak_kib);
  };
  const double one = peak("1", "1", "one");
  const double many = peak("8", "1", "many");
  const double parallel = peak("8", "2", "parallel");
  EXPECT_LT(many, one * 1.25 + 8192) << one << " " << many;
  EXPECT_LT(parallel, one * 2.25 + 8192) << one << " " << parallel;
}

}  // namespace
}  // namespace quorvin
