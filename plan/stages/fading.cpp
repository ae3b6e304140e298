// Multipath fading: a tapped delay line whose taps fade, each emitter's own.

#include <algorithm>
#include <cmath>

#include "channel/impairments.h"
#include "common/text.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::fading};

bool read_fading(std::string_view text, ExactSettings& into) {
  for (const auto& [name, kind] : {std::pair{"none", Fading::none}, std::pair{"rayleigh", Fading::rayleigh},
                                   std::pair{"rician", Fading::rician}}) {
    if (text == name) {
      into.impairments.fading = kind;
      return true;
    }
  }
  return false;
}

const ExactRow options[] = {
    ExactOption{"--fading", "fading", PairEnd::none, "none",
                "multipath fading: none, rayleigh or rician (exact)", "none, rayleigh or rician",
                read_fading},
    ExactOption{"--fading-delays", "fading_delays", PairEnd::none, "0,1.8,3.4",
                "delays of the fading taps, sample periods, comma-separated (exact)",
                "1 to 32 comma-separated numbers from 0 to 1000",
                read_list<&I::fading_delays, 0, 1000>},
    ExactOption{"--fading-gains", "fading_gains", PairEnd::none, "0,-2,-10",
                "mean gains of the fading taps, dB, one per delay (exact)",
                "1 to 32 comma-separated numbers from -100 to 40",
                read_list<&I::fading_gains_db, -100, 40>},
    ExactRange{"--fading-k", "fading_k", {"4", "4"},
               {"lowest Rician K-factor drawn, linear (exact)",
                "highest Rician K-factor drawn (exact)"},
               "a number from 0 to 1000",
               decimal_range<&I::fading_k_min, &I::fading_k_max, 0, 1000>},
    ExactRange{"--doppler", "doppler", {"0", "0"},
               {"lowest maximum Doppler frequency drawn, Hz (exact)",
                "highest maximum Doppler frequency drawn, Hz (exact)"},
               "a number from 0 to 1e9",
               decimal_range<&I::doppler_min, &I::doppler_max, 0, 1000000000>},
};

using Value = std::optional<ParameterValue>;

const I& settings_of(const FileFacts& f) { return f.settings.exact.impairments; }

const StageLabel labels[] = {
    {{"fading", "Fading", "", true, ManifestPlace::trailing, ParameterType::text},
     [](const FileFacts& f) {
       if (!f.file.impairments.fading_k) return Value{};
       return Value{std::string(settings_of(f).fading == Fading::rician ? "rician" : "rayleigh")};
     }},
    {{"fading_delays", "Fading Delays", " samples", true, ManifestPlace::trailing, ParameterType::text, true},
     [](const FileFacts& f) { return f.file.impairments.fading_k ? Value{joined_numbers(settings_of(f).fading_delays)} : Value{}; }},
    {{"fading_gains", "Fading Gains", " dB", true, ManifestPlace::trailing, ParameterType::text, true},
     [](const FileFacts& f) { return f.file.impairments.fading_k ? Value{joined_numbers(settings_of(f).fading_gains_db)} : Value{}; }},
    {{"fading_k", "Rician K-Factor", "", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return settings_of(f).fading == Fading::rician ? stage_value(f.file.impairments.fading_k) : Value{}; }},
    {{"doppler", "Maximum Doppler", " Hz", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.doppler); }},
    {{"fading_taps", "Fading Taps At Start", "", true, ManifestPlace::trailing, ParameterType::text, true},
     [](const FileFacts& f) {
       const std::vector<Sample> taps = exact_fading_taps(f.settings, f.file);
       return taps.empty() ? Value{} : Value{joined_numbers(taps)};
     }},
};

std::uint64_t seed_of(const StageRun& run) { return stage_seed(run.noise_seed, StageSlot::fading); }

}  // namespace

FadingChannel fading_channel(const RunSettings& s, const ImpairmentDraws& d) {
  const ImpairmentSettings& x = s.exact.impairments;
  return {x.fading_delays, x.fading_gains_db, x.fading == Fading::rician, d.fading_k.value_or(0.0), d.doppler.value_or(0.0),
          s.sample_rate};
}

const ChannelTrack fading_track{
    .name = "taps",
    .key = "fading_taps",
    .report = "Channel taps",
    .complex = true,
    .rows = [](const ImpairmentSettings& x, const ImpairmentDraws* d) -> std::size_t {
      const bool on = d != nullptr ? d->fading_k.has_value() : x.fading != Fading::none;
      return on ? x.fading_delays.size() : 0;
    },
};

extern const ChannelStage fading_stage;
const ChannelStage fading_stage{
    .name = "fading",
    .side = StageSide::transmitter,
    .flow = StageFlow::whole,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.draws.fading_k.has_value(); },
    .apply =
        [](Signal& signal, const StageRun& run) {
          signal = apply_fading(signal, fading_channel(run.settings, run.draws), seed_of(run));
        },
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (x.fading == Fading::none) return;
          StageDraws draws = key.engine(StageSlot::fading);
          into.fading_k = x.fading == Fading::rician ? draws.uniform(x.fading_k_min, x.fading_k_max) : 0.0;
          into.doppler = draws.uniform(x.doppler_min, x.doppler_max);
        },
    // The delays read the signal before each sample.
    .margins =
        [](const ImpairmentSettings& x, const ImpairmentDraws& d, std::size_t) {
          if (!d.fading_k) return StageMargins{};
          const double longest = x.fading_delays.empty() ? 0.0 : *std::max_element(x.fading_delays.begin(), x.fading_delays.end());
          return StageMargins{static_cast<std::size_t>(std::ceil(std::max(0.0, longest))) + interpolation_margin, 0};
        },
    .track = &fading_track,
    .path =
        [](TrackValues& values, const StageRun& run, std::size_t first, std::size_t count) {
          values.rows = fading_tap_paths(fading_channel(run.settings, run.draws), seed_of(run), first, count);
        },
    // Widened by the Doppler on each side.
    .band =
        [](const ImpairmentDraws& d, BandEdges band) {
          if (!d.fading_k) return band;
          const double doppler = std::abs(d.doppler.value_or(0.0));
          return BandEdges{band.low - doppler, band.high + doppler};
        },
    // Widened by the largest Doppler drawn on each side.
    .widen =
        [](const ImpairmentSettings& x, SettingsReach& reach) {
          if (x.fading == Fading::none) return;
          const double spread = std::max(std::abs(x.doppler_min), std::abs(x.doppler_max));
          reach.low -= spread;
          reach.high += spread;
          reach.options += ", {--doppler-min/max}";
        },
    .refuse = [](const ImpairmentSettings& x) -> std::optional<std::string> {
      if (x.fading_gains_db.size() == x.fading_delays.size()) return std::nullopt;
      return "{--fading-gains} takes one gain per delay of {--fading-delays}";
    },
};

}  // namespace quorvin
