#pragma once
// A run's options as every front end offers them: one declaration each (the form's boxes, the
// signal model, the exact model's options), and one reader of their texts into RunSettings whose
// refusals mark the options they name, for each front end to spell its own way.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/text.h"
#include "plan/exact_options.h"
#include "plan/settings.h"

namespace quorvin {

struct OptionDeclaration {
  std::string_view option;   // the command line's long name, "--rolloff-max": the option's identity
  std::string_view keyword;  // the Python keyword, "rolloff"
  PairEnd end = PairEnd::none;
  std::string default_text;  // UTF-8; read when the option is not given
  std::string_view help;
  std::string
      value_kind;     // what the help shows: NUMBER, INTEGER, FOLDER, NUMBER,..., rrc|rect|linear
  bool flag = false;  // given alone on the command line: its text is then "true"
  bool exact_only = false;  // the exact model's own
  // The default as the help tells it where the models differ; empty: default_text.
  std::string_view default_help = {};
  std::string_view takes = {};  // what a refusal says it takes: "a number above 0"
};

// Every option, in the order they are read: the form's boxes (form_boxes order, so index i < 18
// is box i), --signal-model, then the exact model's options (exact_options() order).
std::span<const OptionDeclaration> option_declarations();

// An option of the run besides its settings (the names, how files are written, the seed, the
// program's own): quorvin-cli offers every one, a --config file takes those `in_file` as keys, and
// python3 -m quorvin.distributed those `distributed`.
struct ControlOption {
  std::string_view names;       // CLI11's name list, "-j,--jobs": the long name is the identity
  std::string_view value_kind;  // what the help shows ("N", "K/N", "csv|sigmf|hdf5"); empty for a flag
  std::string_view help;
  std::string_view takes;  // what a refusal says the option takes; empty where no text is refused
  bool in_file = true;
  bool distributed = true;
};

// Every control option, in the order the help shows them within their groups.
std::span<const ControlOption> control_options();

// The control option whose long name is `option` ("--seed"); nullptr for none.
const ControlOption* control_option(std::string_view option);

// The long name of a CLI11 name list ("-o,--output-folder": "--output-folder").
std::string_view long_option_name(std::string_view names);

// The names of a comma-separated list as -m takes it, blanks around each name dropped ("QPSK, AM").
std::vector<std::string> name_list(std::string_view list);

// Option texts by the command line's long name ("--sample-rate": "10000"); the rest read defaults.
using OptionTexts = std::map<std::string, std::string>;

// Why the texts were refused. `text` is marked: an option it names stands in braces, as the
// command line writes it ("{--rolloff-max}", both ends "{--clock-ppm-min/max}" or
// "{--adc-bits-min and --adc-bits-max}", with a value "{--signal-model exact}"), and a brace of
// the user's own text is doubled.
struct Refusal {
  enum class Kind {
    no_modulation,   // text: "No modulation selected."
    usage,           // the request itself is wrong (a name, an option the model does not take)
    input,           // a value the run cannot serve
    box,             // text: the form's own message, then "{option} takes ..., not '<value>'"
    unknown_option,  // `option` is no option
  };
  Kind kind;
  std::string text;
  std::string option = {};  // the option refused, where one is (the names: "--modulations")
  std::string value = {};
};

// A refusal as the command line tells it, its options as long names. "--config NAME: " goes
// before it when the option it is about (its `option`, else the first it names) was set by the
// file of options `config` (empty for none) and is among `from_file`.
std::string command_line_refusal(const Refusal& refusal, std::string_view config,
                                 std::span<const std::string> from_file);

struct OptionRequest {
  std::vector<std::string> modulations;  // names, "all" (the form's 22), "every" or a group's name
  OptionTexts texts;
};

// The request read into settings in one order, the first refusal being the one reported: the
// names, the boxes, the signal model, options the model does not take, unknown options, the
// exact options, the band. The run's names are in catalogue order, each once.
std::variant<RunSettings, Refusal> read_options(const OptionRequest& request);

// What the run serves but the user almost certainly did not mean, each marked as Refusal's text
// with the options' texts as given (defaults for the rest): "{--snr-min} 30 is above {--snr-max}
// 10; values are drawn between the two all the same". None changes what the run makes.
std::vector<std::string> run_warnings_marked(const RunSettings& settings, const OptionTexts& texts);

}  // namespace quorvin
