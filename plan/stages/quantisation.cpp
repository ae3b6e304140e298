// The receiver's ADC: a drawn number of bits per rail, full scale a back-off above the peak.

#include <algorithm>
#include <cmath>

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::quantisation};

const ExactRow options[] = {
    ExactRange{"--adc-bits", "adc_bits", {"0", "0"},
               {"fewest ADC bits drawn (exact; 0 with --adc-bits-max 0: no quantisation)",
                "most ADC bits drawn (exact)"},
               "a whole number from 0 to 32",
               whole_range<&I::adc_bits_min, &I::adc_bits_max, 0, 32>},
    ExactOption{"--adc-backoff", "adc_backoff", PairEnd::none, "0",
                "ADC full scale above the signal's peak, dB (exact)", "a number from 0 to 60",
                read_decimal<&I::adc_backoff, 0, 60>},
};

using Value = std::optional<ParameterValue>;

const StageLabel labels[] = {
    {{"adc_bits", "ADC Bits", "", true, ManifestPlace::trailing, ParameterType::whole},
     [](const FileFacts& f) {
       return f.file.impairments.adc_bits ? Value{std::int64_t{*f.file.impairments.adc_bits}} : Value{};
     }},
    {{"adc_backoff", "ADC Backoff", " dB", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return f.file.impairments.adc_bits ? Value{f.settings.exact.impairments.adc_backoff} : Value{}; }},
};

}  // namespace

extern const ChannelStage quantisation_stage;
const ChannelStage quantisation_stage{
    .name = "quantisation",
    .side = StageSide::receiver,
    .flow = StageFlow::whole,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.draws.adc_bits.has_value(); },
    .apply =
        [](Signal& signal, const StageRun& run) {
          signal = quantise(std::move(signal), *run.draws.adc_bits, run.settings.exact.impairments.adc_backoff);
        },
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (x.adc_bits_min == 0 && x.adc_bits_max == 0) return;
          // A reversed range is drawn between its ends, as every other range is.
          const std::int32_t fewest = std::min(x.adc_bits_min, x.adc_bits_max);
          const double span = static_cast<double>(std::max(x.adc_bits_min, x.adc_bits_max) - fewest) + 1.0;
          const double drawn = std::floor(key.engine(StageSlot::quantisation).uniform(0.0, span));
          into.adc_bits = fewest + static_cast<std::int32_t>(std::min(span - 1.0, drawn));
        },
    .take = [](const ImpairmentDraws& from, ImpairmentDraws& into) { into.adc_bits = from.adc_bits; },
    .refuse = [](const ImpairmentSettings& x) -> std::optional<std::string> {
      if ((x.adc_bits_min == 0) == (x.adc_bits_max == 0)) return std::nullopt;
      return "{--adc-bits-min and --adc-bits-max} take 1 to 32 bits each, or 0 both for no quantisation";
    },
};

}  // namespace quorvin
