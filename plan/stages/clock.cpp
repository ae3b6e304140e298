// The receiver's sample clock: off by the drawn ppm, it reads the channel at k (1 + ppm 1e-6), and
// moves an RF carrier by its share too.

#include <cmath>

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::clock};

const ExactRow options[] = {
    ExactRange{"--clock-ppm", "clock_ppm", {"0", "0"},
               {"lowest sample-clock offset drawn, parts per million (exact)",
                "highest sample-clock offset drawn, ppm (exact)"},
               "a number from -1000 to 1000",
               decimal_range<&I::clock_ppm_min, &I::clock_ppm_max, -1000, 1000>},
    ExactOption{"--rf-frequency", "rf_frequency", PairEnd::none, "0",
                "carrier frequency the clock's ppm also moves, Hz (exact; 0: none)",
                "a number from 0 to 1e12", read_decimal<&I::rf_frequency, 0, 1000000000000LL>},
};

const StageLabel labels[] = {
    {{"clock_ppm", "Clock Offset", " ppm", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.clock_ppm); }},
    {{"rf_frequency", "RF Frequency", " Hz", true, ManifestPlace::trailing},
     [](const FileFacts& f) {
       const double rf = f.settings.exact.impairments.rf_frequency;
       return f.file.impairments.clock_ppm && rf != 0.0 ? std::optional<ParameterValue>(rf) : std::nullopt;
     }},
};

// The file's samples out of the channel's: read by the clock where it drew an offset, else the
// channel's own from the file's first (past the margins the stages before it read).
void apply(Signal& signal, const StageRun& run) {
  const auto [before, after] = run.margins;
  if (run.draws.clock_ppm) {
    signal = resample_by_clock(signal, static_cast<double>(before), *run.draws.clock_ppm, run.length);
  } else {
    signal = Signal(signal.begin() + static_cast<std::ptrdiff_t>(before),
                    signal.begin() + static_cast<std::ptrdiff_t>(before + run.length));
  }
}

}  // namespace

extern const ChannelStage clock_stage;
const ChannelStage clock_stage{
    .name = "sample clock",
    .side = StageSide::receiver,
    .flow = StageFlow::whole,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.draws.clock_ppm || run.margins.before != 0 || run.margins.after != 0; },
    .apply = apply,
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (range_on(x.clock_ppm_min, x.clock_ppm_max)) {
            into.clock_ppm = key.engine(StageSlot::clock).uniform(x.clock_ppm_min, x.clock_ppm_max);
          }
        },
    .take = [](const ImpairmentDraws& from, ImpairmentDraws& into) { into.clock_ppm = from.clock_ppm; },
    // The drift reads up to length ppm 1e-6 samples past the end, and interpolates at both ends.
    .margins =
        [](const ImpairmentSettings&, const ImpairmentDraws& d, std::size_t length) {
          const double ppm = d.clock_ppm.value_or(0.0);
          if (ppm == 0.0) return StageMargins{};
          return StageMargins{interpolation_margin,
                              static_cast<std::size_t>(std::ceil(static_cast<double>(length) * std::abs(ppm) * 1e-6)) +
                                  interpolation_margin};
        },
    // Its share of an RF carrier, where one is given.
    .carrier_shift =
        [](const ImpairmentSettings& x, const ImpairmentDraws& d) {
          return d.clock_ppm && x.rf_frequency != 0.0 ? std::optional<double>(x.rf_frequency * *d.clock_ppm * 1e-6)
                                                      : std::nullopt;
        },
    // Its share of an RF carrier moves the band (one reference for both), then every frequency is
    // scaled by 1 + ppm 1e-6.
    .widen =
        [](const ImpairmentSettings& x, SettingsReach& reach) {
          if (!range_on(x.clock_ppm_min, x.clock_ppm_max)) return;
          const double slow = std::min(x.clock_ppm_min, x.clock_ppm_max) * 1e-6;
          const double fast = std::max(x.clock_ppm_min, x.clock_ppm_max) * 1e-6;
          const double low = reach.low + x.rf_frequency * slow;
          const double high = reach.high + x.rf_frequency * fast;
          reach.low = std::min(low * (1.0 + slow), low * (1.0 + fast));
          reach.high = std::max(high * (1.0 + slow), high * (1.0 + fast));
          reach.options += x.rf_frequency != 0.0 ? ", {--clock-ppm-min/max}, {--rf-frequency}" : ", {--clock-ppm-min/max}";
        },
};

}  // namespace quorvin
