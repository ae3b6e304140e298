#include "cli/options.h"

#include "synthesis/scene.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <string_view>
#include <type_traits>

#include "common/text.h"
#include "form/options.h"
#include "modulation/catalogue.h"
#include "form/config_file.h"
#include "synthesis/scene.h"
#include "writers/channel_file.h"
#include "writers/hdf5_container.h"
#include "writers/manifest.h"
#include "writers/sample_file.h"
#include "writers/sigmf.h"
#include "writers/symbol_file.h"

namespace quorvin::cli {

namespace {

// The UTF-8 text of each option, in option_declarations() order (so the boxes' first).
using Texts = std::vector<std::string>;

Texts default_texts() {
  Texts texts;
  for (const OptionDeclaration& declaration : option_declarations()) texts.push_back(declaration.default_text);
  return texts;
}

ImmediateExit usage_error(const std::string& message) {
  return {2, "", "quorvin-cli: " + message + "\nRun with --help for the options.\n"};
}

// A value the run cannot serve: one line that names what to change.
ImmediateExit input_error(const std::string& message) { return {2, "", "quorvin-cli: " + message + "\n"}; }

std::optional<std::uint32_t> whole_number(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Shard> shard_of(const std::string& text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  const auto index = whole_number(std::string_view(text).substr(0, slash));
  const auto count = whole_number(std::string_view(text).substr(slash + 1));
  if (!index || !count || *count == 0 || *index >= *count) return std::nullopt;
  return Shard{*index, *count};
}

struct Parsed {
  Texts texts = default_texts();
  std::string modulations;
  bool save_settings = false;
  unsigned jobs = 1;
  std::string seed;
  bool seed_given = false;
  std::string shard = "0/1";
  Progress progress = Progress::automatic;
  std::string format = "csv";
  bool compress = false;
  bool quiet = false;
  std::string manifest;
  bool manifest_given = false;
  bool list_modulations = false;
  bool version = false;
  std::string config;
  // The options a --config file set (the command line's own win), by long name.
  std::vector<std::string> from_file;
  // The declared options, kept as added: asking CLI11 by name searches every option, which for
  // the exact model's rows cost more than the rest of parsing.
  std::vector<const CLI::Option*> added = std::vector<const CLI::Option*>(option_declarations().size());
  const CLI::Option* modulations_option = nullptr;
  const CLI::Option* seed_option = nullptr;
  const CLI::Option* manifest_option = nullptr;
  const CLI::Option* config_option = nullptr;
};

// A control option's name list and help, from the core's table.
const ControlOption& control(std::string_view option) { return *control_option(option); }
std::string names_of(std::string_view option) { return std::string(control(option).names); }
std::string help_of(std::string_view option) { return std::string(control(option).help); }

// The help's groups, in the order it prints them.
constexpr std::string_view making = "What to make";
constexpr std::string_view ranges = "Ranges (one value drawn per file)";
constexpr std::string_view channel = "Channel";
constexpr std::string_view output = "Output";
constexpr std::string_view run_control = "Run control";
constexpr std::string_view exact_model = "Exact model (with --signal-model exact)";
constexpr std::string_view compatibility = "The desktop program's own (accepted so its settings carry over)";

// Each of the form's boxes in its help group, in the order printed there.
struct BoxPlace {
  std::string_view option;
  std::string_view group;
};
constexpr BoxPlace box_places[] = {
    {"--files-per-modulation", making}, {"--num-symbols", making},        {"--sample-rate", making},
    {"--analog-fc", making},            {"--analog-deviation", making},   {"--symbol-rate-min", ranges},
    {"--symbol-rate-max", ranges},      {"--amplitude-min", ranges},      {"--amplitude-max", ranges},
    {"--snr-min", channel},             {"--snr-max", channel},           {"--timing-error-min", channel},
    {"--timing-error-max", channel},    {"--frequency-offset-min", channel}, {"--frequency-offset-max", channel},
    {"--mix-frequency", channel},       {"--multipath-error", compatibility},   {"-o,--output-folder", output},
};
static_assert(std::size(box_places) == form_box_count, "every box has its place in the help");

// The help and its default, each model's where they differ. An empty default is told by the
// help itself ("default: --analog-fc").
std::string help_of(const OptionDeclaration& declared) {
  const std::string_view shown = declared.default_help.empty() ? std::string_view(declared.default_text) : declared.default_help;
  if (shown.empty()) return std::string(declared.help);
  return std::string(declared.help) + " (default: " + std::string(shown) + ")";
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// The choices of "rrc|rect|linear", each as written there.
std::vector<std::string> choices_of(std::string_view kind) {
  std::vector<std::string> choices;
  for (std::size_t start = 0; start <= kind.size();) {
    const std::size_t end = std::min(kind.find('|', start), kind.size());
    choices.emplace_back(kind.substr(start, end - start));
    start = end + 1;
  }
  return choices;
}

// "RRC" is taken as "rrc"; any other text passes on unchanged, for the setting's own check to
// refuse with its own message.
CLI::Validator choice_in_any_case(const std::string& kind) {
  return CLI::Validator(
      [choices = choices_of(kind)](std::string& text) {
        for (const std::string& choice : choices) {
          if (lower_case(text) == lower_case(choice)) text = choice;
        }
        return std::string();
      },
      "");
}

void add_boxes(CLI::App& app, Parsed& p, std::string_view group) {
  for (const BoxPlace& place : box_places) {
    if (place.group != group) continue;
    const auto box = std::find_if(form_boxes.begin(), form_boxes.end(),
                                  [&place](const FormBox& b) { return b.option == place.option; });
    const auto i = static_cast<std::size_t>(box - form_boxes.begin());
    const OptionDeclaration& declared = option_declarations()[i];
    p.added[i] = app.add_option(std::string(box->option), p.texts[i], help_of(declared))
                     ->option_text(declared.value_kind)
                     ->group(std::string(group));
  }
}

// The declaration of `option`, by its index.
std::size_t declaration_index(std::string_view option) {
  const auto all = option_declarations();
  return static_cast<std::size_t>(
      std::find_if(all.begin(), all.end(), [option](const OptionDeclaration& d) { return d.option == option; }) -
      all.begin());
}

void add_signal_model(CLI::App& app, Parsed& p) {
  const std::size_t i = declaration_index("--signal-model");
  const OptionDeclaration& declared = option_declarations()[i];
  p.added[i] = app.add_option(std::string(declared.option), p.texts[i], help_of(declared))
                   ->transform(choice_in_any_case(declared.value_kind))
                   ->option_text(declared.value_kind)
                   ->group(std::string(making));
}

void add_exact_options(CLI::App& app, Parsed& p) {
  const auto all = option_declarations();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const OptionDeclaration& declared = all[i];
    if (!declared.exact_only) continue;
    const std::string name(declared.option);
    if (declared.flag) {
      std::string& text = p.texts[i];
      p.added[i] = app.add_flag_callback(name, [&text] { text = "true"; }, std::string(declared.help))
                       ->group(std::string(exact_model));
      continue;
    }
    CLI::Option* option = app.add_option(name, p.texts[i], help_of(declared))
                              ->option_text(declared.value_kind)
                              ->group(std::string(exact_model));
    if (declared.value_kind.find('|') != std::string::npos) option->transform(choice_in_any_case(declared.value_kind));
    p.added[i] = option;
  }
}

void add_output_options(CLI::App& app, Parsed& p) {
  add_boxes(app, p, output);
  const std::string group(output);
  app.add_flag(names_of("--save-settings"), p.save_settings, help_of("--save-settings"))->group(group);
  app.add_option(names_of("--format"), p.format, help_of("--format"))
      ->transform(choice_in_any_case(std::string(control("--format").value_kind)))
      ->option_text(std::string(control("--format").value_kind))
      ->group(group);
  app.add_flag(names_of("--compress"), p.compress, help_of("--compress"))->group(group);
  p.manifest_option = app.add_option(names_of("--manifest"), p.manifest, help_of("--manifest"))
                          ->option_text(std::string(control("--manifest").value_kind))
                          ->group(group);
}

void add_run_control_options(CLI::App& app, Parsed& p, unsigned hardware_threads) {
  const std::string group(run_control);
  p.jobs = std::max(1u, hardware_threads);
  app.add_option(names_of("--jobs"), p.jobs,
                 help_of("--jobs") + " (default: " + std::to_string(p.jobs) + ", the hardware threads)")
      ->check(CLI::Validator(
          [](std::string& text) {
            const bool digits = !text.empty() && text.size() <= 4 && text.find_first_not_of("0123456789") == std::string::npos;
            const bool in_range = digits && std::stoul(text) >= 1 && std::stoul(text) <= 1024;
            return in_range ? std::string() : "takes " + std::string(control("--jobs").takes) + ", not '" + text + "'";
          },
          "N"))
      ->option_text(std::string(control("--jobs").value_kind))
      ->group(group);
  p.seed_option = app.add_option(names_of("--seed"), p.seed, help_of("--seed") + " (default: the clock)")
                      ->option_text(std::string(control("--seed").value_kind))
                      ->group(group);
  app.add_option(names_of("--shard"), p.shard, help_of("--shard"))
      ->option_text(std::string(control("--shard").value_kind))
      ->group(group);
  app.add_flag_callback(names_of("--progress"), [&p] { p.progress = Progress::shown; }, help_of("--progress"))->group(group);
  app.add_flag_callback(names_of("--no-progress"), [&p] { p.progress = Progress::hidden; }, help_of("--no-progress"))
      ->group(group);
  app.add_flag(names_of("--quiet"), p.quiet, help_of("--quiet"))->group(group);
  app.add_flag(names_of("--list-modulations"), p.list_modulations, help_of("--list-modulations"))->group(group);
  p.config_option = app.add_option(names_of("--config"), p.config, help_of("--config"))
                        ->option_text(std::string(control("--config").value_kind))
                        ->group(group);
  app.add_flag(names_of("--version"), p.version, help_of("--version"))->group(group);
  app.set_help_flag("-h,--help", "print this help and exit")->group(group);
}

// Added in the order the help prints them: groups appear in the order of their first option.
void add_options(CLI::App& app, Parsed& p, unsigned hardware_threads) {
  // No variable of its own: its lists are read after parsing (below), so an empty list in a
  // --config file ("modulations = []") is no list rather than a conversion of nothing.
  p.modulations_option = app.add_option(names_of("--modulations"), CLI::callback_t{}, help_of("--modulations"))
      ->option_text(std::string(control("--modulations").value_kind))
      ->multi_option_policy(CLI::MultiOptionPolicy::Join)  // "-m QPSK -m AM" is "-m QPSK,AM": see below
      ->group(std::string(making));
  add_boxes(app, p, making);
  add_signal_model(app, p);
  add_boxes(app, p, ranges);
  add_boxes(app, p, channel);
  add_output_options(app, p);
  add_run_control_options(app, p, hardware_threads);
  add_exact_options(app, p);
  add_boxes(app, p, compatibility);
}

// Words of `text` in lines of at most `width` characters (a longer word has a line of its own).
std::string wrapped(std::string_view text, std::size_t width) {
  std::string lines;
  std::size_t line = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    const std::string_view word = text.substr(start, end - start);
    if (!word.empty()) {
      if (line > 0 && line + 1 + word.size() > width) {
        lines += '\n';
        line = 0;
      } else if (line > 0) {
        lines += ' ';
        ++line;
      }
      lines += word;
      line += word.size();
    }
    start = end + 1;
  }
  return lines;
}

constexpr std::size_t help_column = 36;

constexpr std::string_view help_description =
    "Generates synthetic radio-signal datasets: sample files (CSV I,Q lines, SigMF recordings or one HDF5 "
    "container) for each modulation and file index, with parameters drawn inside the given ranges and labelled in "
    "settings files, SigMF metadata and a CSV manifest.";

constexpr std::string_view help_examples[][2] = {
    {"quorvin-cli -m QPSK,AM --files-per-modulation 2 --save-settings -o out",
     "Two files of each name with their settings files; --signal-model classic makes the desktop program's "
     "waveforms."},
    {"quorvin-cli -m all --signal-model exact --sample-rate 100000 --samples-per-file 1024 --snr-min -10 "
     "--snr-max 20 --snr-definition esn0 --files-per-modulation 1000 --seed 1 --format sigmf "
     "--manifest out/manifest.csv -o out",
     "A training set: frames of 1024 samples whose every label is true, Es/N0 from -10 to 20 dB as classifier "
     "benchmarks state it, reproducible from its seed."},
    {"quorvin-cli -m QPSK --signal-model exact --sample-rate 100000 --fading rayleigh --doppler-max 50 -o faded",
     "One file through a Rayleigh fading channel."},
};

// Each line break of `text` followed by `indent`.
std::string indented(std::string text, std::string_view indent) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    text.insert(at + 1, indent);
  }
  return text;
}

// The examples, each command broken into lines a shell takes back (" \" at each break).
std::string help_footer(std::size_t width) {
  std::string footer = "Examples:\n";
  for (const auto& [command, what] : help_examples) {
    std::string lines = indented(wrapped(command, width - 6), "    ");
    for (std::size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + 3)) {
      lines.insert(at, " \\");
    }
    footer += "  " + lines + "\n    " + indented(wrapped(what, width - 4), "    ") + "\n";
  }
  return footer;
}

// CLI11's help, with "-j, --jobs" spaced as most programs print it, a usage line that names -m,
// and descriptions wrapped to the width of the terminal.
class HelpFormat : public CLI::Formatter {
 public:
  explicit HelpFormat(std::size_t width) : width_(std::max(width, help_column + 24)) {}
  std::string make_option_desc(const CLI::Option* option) const override {
    return wrapped(CLI::Formatter::make_option_desc(option), width_ - help_column);
  }
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string spaced;
    for (const char c : CLI::Formatter::make_option_name(option, positional)) {
      spaced.push_back(c);
      if (c == ',') spaced.push_back(' ');
    }
    return spaced;
  }
  std::string make_usage(const CLI::App*, std::string name) const override {
    return "Usage: " + name + " -m NAMES [OPTIONS]\n\n";
  }
  // One blank line between groups, where CLI11's own leaves two.
  std::string make_group(std::string group, bool positional, std::vector<const CLI::Option*> options) const override {
    std::string text = group + ":\n";
    for (const CLI::Option* option : options) text += make_option(option, positional);
    return text;
  }

 private:
  std::size_t width_;
};

// The path as UTF-8 (on POSIX its bytes, which need not be UTF-8: no conversion that could fail).
std::string path_text(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring& wide = path.native();
  return utf16_to_utf8(std::u16string(wide.begin(), wide.end()));
#else
  return path.native();
#endif
}

// A path without "." and ".." steps, symbolic links and a trailing separator, for comparing.
std::filesystem::path comparable(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
  if (error) full = std::filesystem::absolute(path, error).lexically_normal();
  return full.has_filename() ? full : full.parent_path();
}

// Whether `name` is "<modulation>_signal_<k><extension>" for one of the run's own files.
bool is_planned_file_name(const std::string& name, const RunSettings& s, SampleFormat format) {
  std::vector<std::string> extensions = format == SampleFormat::sigmf
                                            ? std::vector<std::string>{".sigmf-data", ".sigmf-meta"}
                                            : std::vector<std::string>{".csv"};
  if (s.save_settings_file) extensions.emplace_back(".txt");
  if (saves_channel(s)) {
    for (const ChannelTrack* track : channel_tracks()) extensions.push_back(track_extension(*track));
  }
  if (saves_symbols(s)) extensions.emplace_back(symbols_extension);
  for (const std::string& modulation : s.modulations) {
    std::string prefix = utf16_to_utf8(output_file_path(u"", modulation, 1, "").text);
    prefix.pop_back();  // the "1"
    if (!name.starts_with(prefix)) continue;
    const std::string_view rest = std::string_view(name).substr(prefix.size());
    std::int64_t index = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), index);
    if (error != std::errc{} || rest.empty() || rest[0] == '0' || index < 1 || index > s.files_per_modulation) continue;
    const std::string_view extension = rest.substr(static_cast<std::size_t>(end - rest.data()));
    if (std::find(extensions.begin(), extensions.end(), extension) != extensions.end()) return true;
  }
  return false;
}

// Whether `name` is the container of this shard or of another shard of the same run.
bool is_container_name(const std::string& name, const Shard& shard) {
  const std::string of_count = "-of-" + std::to_string(shard.count) + ".h5";
  return name == container_file_name(shard) || (shard.count > 1 && name.starts_with("dataset-") && name.ends_with(of_count));
}

// Why the manifest may not be written where it is asked for: over the output folder or one of
// the files the run writes there (the run would overwrite its own output).
std::optional<std::string> manifest_clash(const RunRequest& r) {
  const std::filesystem::path manifest = comparable(command_line_path(r.manifest));
  const std::filesystem::path folder = comparable(output_folder_path(r.settings.output_folder));
  if (manifest == folder) return "is the output folder";
  if (manifest.parent_path() == folder &&
      (is_planned_file_name(path_text(manifest.filename()), r.settings, r.format) ||
       (r.format == SampleFormat::container && is_container_name(path_text(manifest.filename()), r.shard)))) {
    return "is one of the run's own output files";
  }
  return std::nullopt;
}

// A refusal of the core's reader, as this program tells it.
ImmediateExit refused(const Refusal& refusal, const Parsed& p) {
  const std::string told = command_line_refusal(refusal, p.config, p.from_file);
  switch (refusal.kind) {
    case Refusal::Kind::no_modulation: return {2, "", told + "\nRun with -m NAMES, or --help.\n"};
    case Refusal::Kind::box:
    case Refusal::Kind::input: return input_error(told);
    case Refusal::Kind::unknown_option:
    case Refusal::Kind::usage: break;
  }
  return usage_error(told);
}

// The --config file's entries for what the command line does not give (its own values win).
std::optional<ImmediateExit> read_config(const CLI::App& app, Parsed& p) {
  auto read = read_config_file(command_line_path(p.config), p.config);
  if (const ConfigRefusal* refusal = std::get_if<ConfigRefusal>(&read)) return usage_error(refusal->text);
  const auto all = option_declarations();
  for (const ConfigEntry& entry : std::get<ConfigEntries>(read)) {
    const std::size_t i = declaration_index(entry.option);
    const CLI::Option* given = i < all.size() ? p.added[i] : app.get_option_no_throw(entry.option);
    if (given != nullptr && given->count() > 0) continue;
    const bool on = entry.text == "true";
    if (i < all.size()) {
      if (all[i].flag && !on) continue;  // a flag set false is a flag not given
      p.texts[i] = entry.text;
    } else if (entry.option == "--modulations") {
      p.modulations = entry.text;
    } else if (entry.option == "--save-settings") {
      p.save_settings = on;
    } else if (entry.option == "--compress") {
      p.compress = on;
    } else if (entry.option == "--quiet") {
      p.quiet = on;
    } else if (entry.option == "--progress" || entry.option == "--no-progress") {
      const bool other_given = app.get_option(entry.option == "--progress" ? "--no-progress" : "--progress")->count() > 0;
      if (on && !other_given) p.progress = entry.option == "--progress" ? Progress::shown : Progress::hidden;
    } else if (entry.option == "--format") {
      p.format = entry.text;
    } else if (entry.option == "--manifest") {
      p.manifest = entry.text;
      p.manifest_given = true;
    } else if (entry.option == "--jobs") {
      p.jobs = static_cast<unsigned>(std::stoul(entry.text));  // checked by the reader: 1 to 1024
    } else if (entry.option == "--seed") {
      p.seed = entry.text;
      p.seed_given = true;
    } else if (entry.option == "--shard") {
      p.shard = entry.text;
    }
    p.from_file.push_back(entry.option);
  }
  return std::nullopt;
}

std::variant<RunRequest, ImmediateExit> request_of(const Parsed& p) {
  OptionRequest asked;
  if (!p.modulations.empty()) asked.modulations = name_list(p.modulations);
  const auto all = option_declarations();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const bool from_file = std::find(p.from_file.begin(), p.from_file.end(), all[i].option) != p.from_file.end();
    if (p.added[i]->count() > 0 || from_file) asked.texts[std::string(all[i].option)] = p.texts[i];
  }
  // The payloads' option names a file here; the core reads its lines.
  if (const auto payload = asked.texts.find("--payload"); payload != asked.texts.end()) {
    auto read = read_payload_file(command_line_path(payload->second), payload->second);
    if (const ConfigRefusal* refusal = std::get_if<ConfigRefusal>(&read)) {
      const bool named_by_config = std::find(p.from_file.begin(), p.from_file.end(), "--payload") != p.from_file.end();
      return input_error((named_by_config ? "--config " + p.config + ": " : std::string()) + refusal->text);
    }
    payload->second = std::get<std::string>(std::move(read));
  }
  auto settings = read_options(asked);
  if (const Refusal* refusal = std::get_if<Refusal>(&settings)) return refused(*refusal, p);
  RunRequest request;
  request.settings = std::get<RunSettings>(std::move(settings));
  request.settings.save_settings_file = p.save_settings;
  request.jobs = p.jobs;
  if (p.seed_given) {
    request.seed = whole_number(p.seed);
    if (!request.seed) return usage_error("--seed takes " + std::string(control("--seed").takes) + ", not '" + p.seed + "'");
  }
  const std::optional<Shard> shard = shard_of(p.shard);
  if (!shard) return usage_error("--shard takes " + std::string(control("--shard").takes) + ", not '" + p.shard + "'");
  request.shard = *shard;
  request.progress = p.progress;
  request.quiet = p.quiet;
  if (p.format != "csv" && p.format != "sigmf" && p.format != "hdf5") {
    return usage_error(command_line_text(not_accepted_marked("--format", control("--format").takes, p.format)));
  }
  request.format = p.format == "sigmf" ? SampleFormat::sigmf : p.format == "hdf5" ? SampleFormat::container : SampleFormat::csv;
  request.compress = p.compress;
  if (request.format == SampleFormat::container) {
    if (!hdf5_available()) {
      return usage_error("--format hdf5: this build of quorvin-cli has no HDF5 support (" + std::string(hdf5_absence()) + ")");
    }
    if (p.save_settings) return usage_error("--save-settings does not apply to --format hdf5: its labels hold the settings");
  } else if (p.compress) {
    return usage_error("--compress applies to --format hdf5 only");
  }
  if (makes_scenes(request.settings) && p.save_settings) {
    return usage_error("--save-settings does not apply to --scene wideband: each emitter's labels are in the metadata");
  }
  if (request.settings.exact.datatype != SigmfDatatype::cf32_le && request.format != SampleFormat::sigmf) {
    return usage_error("--datatype applies to --format sigmf only");
  }
  if (!request.settings.exact.background.empty()) {
    // Only SigMF's metadata records the span and carries the recording's own annotations.
    if (request.format != SampleFormat::sigmf) return usage_error("--background applies to --format sigmf only");
    auto opened = open_background_marked(request.settings);
    if (const std::string* refusal = std::get_if<std::string>(&opened)) return input_error(command_line_text(*refusal));
    request.settings.exact.background_recording = std::get<std::shared_ptr<const BackgroundRecording>>(std::move(opened));
  }
  for (const std::string& warning : run_warnings_marked(request.settings, asked.texts)) {
    request.warnings.push_back(command_line_text(warning));
  }
  request.manifest = p.manifest;
  if (p.manifest_given && p.manifest.empty()) return usage_error("--manifest needs a file name");
  if (!request.manifest.empty()) {
    if (const auto clash = manifest_clash(request)) {
      return input_error("--manifest " + request.manifest + " " + *clash + ".");
    }
  }
  if (request.format == SampleFormat::sigmf) {
    // The recording format bounds what its metadata may hold.
    const RunSettings& s = request.settings;
    if (!(s.sample_rate >= 1.0 && s.sample_rate <= 1e12)) {
      return usage_error("--format sigmf needs a sample rate from 1 Hz to 1e12 Hz");
    }
    if (!(std::abs(s.mix_frequency) <= 1e12)) {
      return usage_error("--format sigmf needs a mixing frequency from -1e12 Hz to 1e12 Hz");
    }
  }
  return request;
}

// "; did you mean --files-per-modulation?" for the long options nearest the typed one.
std::string suggestion(const CLI::App& app, std::string_view typed) {
  std::vector<std::string> options;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
  }
  const std::string said = did_you_mean(nearest_names(typed, options));
  return said.empty() ? "" : "; " + said;
}

// A name's line of --list-modulations: the name, a tab and its group (what `-m <group>` selects);
// for a name whose files can be other names' (shared_signals), a tab and which and where, and
// whether "every" and its group leave it out.
std::string listed_line(const ModulationRow& row) {
  const std::string group(modulation_group(row));
  std::string shared;
  for (const SharedSignal& s : shared_signals) {
    if (s.name == row.name) shared += (shared.empty() ? "is " : "; is ") + std::string(s.other) + " " + std::string(s.where);
  }
  if (!in_group(row)) shared += "; not in every or " + group;
  if (in_group(row) && !in_every(row)) shared += (shared.empty() ? "" : "; ") + std::string("not in every: its frames need their own rate and length");
  return std::string(row.name) + "\t" + group + (shared.empty() ? "" : "\t" + shared) + "\n";
}

// An option given again where it takes one value: CLI11's "--snr-min: At Most 1 required but
// received 2" (a value) or "save-settings: too many inputs for a flag".
std::optional<ImmediateExit> given_twice(const CLI::App& app, const std::string& what) {
  const bool value = what.find(": At Most 1 required but received ") != std::string::npos;
  if (!value && !what.ends_with(": too many inputs for a flag")) return std::nullopt;
  std::string key = what.substr(0, what.find(':'));
  key.erase(0, key.find_first_not_of('-'));
  if (app.get_option_no_throw("--" + key) == nullptr) return std::nullopt;
  return usage_error("--" + key + " is given more than once; give it once");
}

// CLI11's refusals, told as this program tells the rest: the option first, then what it needs.
ImmediateExit parse_refusal(const CLI::App& app, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    const std::vector<std::string> extras = app.remaining();
    const auto option = std::find_if(extras.begin(), extras.end(),
                                     [](const std::string& text) { return text.size() > 1 && text[0] == '-'; });
    if (option != extras.end()) {
      const std::string name = option->substr(0, option->find('='));
      return usage_error("unknown option " + name + suggestion(app, name));
    }
    if (!extras.empty()) return usage_error("unexpected argument '" + extras.front() + "' (options start with -)");
  }
  const std::string what = e.what();
  if (auto twice = given_twice(app, what)) return std::move(*twice);
  // "--jobs: takes ...": the option and what it takes, as every other refusal reads.
  if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr && what.find(": takes ") != std::string::npos) {
    return usage_error(what.substr(0, what.find(": takes ")) + what.substr(what.find(": takes ") + 1));
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && what.starts_with("-") && what.ends_with(" missing")) {
    const std::string name = what.substr(0, what.find(':'));
    const CLI::Option* option = app.get_option_no_throw(name);
    if (option != nullptr && option->check_lname("modulations")) {
      return usage_error("-m/--modulations needs a value: " + std::string(control("--modulations").takes));
    }
    if (option != nullptr) {
      const std::string kind = option->get_option_text();
      if (kind.find('|') == std::string::npos) return usage_error(name + " needs a value (" + kind + ")");
      std::vector<std::string> choices = choices_of(kind);
      std::string listed;
      for (std::size_t i = 0; i < choices.size(); ++i) {
        listed += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
      }
      return usage_error(name + " needs a value: " + listed);
    }
  }
  return usage_error(what);
}

}  // namespace

std::filesystem::path command_line_path(const std::string& text) {
  if constexpr (sizeof(std::filesystem::path::value_type) == sizeof(char)) {
    return std::filesystem::path(text);
  } else {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
  }
}

std::variant<RunRequest, ImmediateExit> parse_command_line(const std::vector<std::string>& arguments,
                                                           unsigned hardware_threads, std::size_t help_width) {
  help_width = std::max(help_width, help_column + 24);
  CLI::App app(wrapped(help_description, help_width), "quorvin-cli");
  auto help_format = std::make_shared<HelpFormat>(help_width);
  help_format->column_width(help_column);
  app.formatter(help_format);
  app.footer(help_footer(help_width));
  Parsed parsed;
  add_options(app, parsed, hardware_threads);
  // "--option=" gives the option an empty text, like "--option ''" (CLI11 alone would take the
  // next argument as its value). CLI11 pops arguments from the back.
  std::vector<std::string> reversed;
  for (auto argument = arguments.rbegin(); argument != arguments.rend(); ++argument) {
    const bool empty_value = argument->starts_with("--") && argument->find('=') == argument->size() - 1;
    if (empty_value) reversed.emplace_back();
    reversed.push_back(empty_value ? argument->substr(0, argument->size() - 1) : *argument);
  }
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return ImmediateExit{0, app.help(), ""};
  } catch (const CLI::ParseError& e) {
    return parse_refusal(app, e);
  }
  if (parsed.version) return ImmediateExit{0, std::string("quorvin-cli ") + program_version + "\n", ""};
  if (parsed.list_modulations) {
    std::string list;
    for (const ModulationRow& row : modulation_catalogue) list += listed_line(row);
    return ImmediateExit{0, list, ""};
  }
  // Each -m's list as typed, joined by commas (CLI11's own join uses line breaks).
  parsed.modulations.clear();
  for (const std::string& list : parsed.modulations_option->results()) {
    parsed.modulations += (parsed.modulations.empty() ? "" : ",") + list;
  }
  parsed.seed_given = parsed.seed_option->count() > 0;
  parsed.manifest_given = parsed.manifest_option->count() > 0;
  if (parsed.config_option->count() > 0) {
    if (auto refusal = read_config(app, parsed)) return std::move(*refusal);
  }
  return request_of(parsed);
}

}  // namespace quorvin::cli
