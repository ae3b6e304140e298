#pragma once
// A standard's files as its receiver test reads them: each file a run of it writes, with its
// labels, and the steps the receivers share.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "label_rows.h"
#include "form/options.h"
#include "generator/symbols.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"
#include "plan/plan.h"
#include "plan/seeds.h"

namespace quorvin::test {

// The mean of `f` over samples a .. b (inclusive, clamped to its ends): a receiver's soft value.
inline double mean_over(const std::vector<double>& f, double a, double b) {
  const auto lo = static_cast<std::size_t>(std::max(0.0, std::ceil(a)));
  const auto hi = static_cast<std::size_t>(std::min(static_cast<double>(f.size() - 1), std::floor(b)));
  double sum = 0.0;
  for (std::size_t k = lo; k <= hi; ++k) sum += f[k];
  return hi >= lo ? sum / static_cast<double>(hi - lo + 1) : 0.0;
}

// A frequency discriminator: the phase's turn from each sample to the next, Hz (0 at sample 0).
inline std::vector<double> discriminator(const Signal& x, double fs) {
  std::vector<double> f(x.size(), 0.0);
  for (std::size_t k = 1; k < x.size(); ++k) f[k] = std::arg(x[k] * std::conj(x[k - 1])) * fs / (2.0 * std::numbers::pi);
  return f;
}

// A receiver's carrier sense: the carrier is on at k where the mean power of `window` samples from
// k reaches a quarter of the loudest sample's.
struct CarrierSense {
  const Signal& x;
  std::size_t window;
  double loudest = 0.0;
  CarrierSense(const Signal& samples, std::size_t samples_in_window) : x(samples), window(samples_in_window) {
    for (const Sample& v : x) loudest = std::max(loudest, std::norm(v));
  }
  bool on(std::size_t k) const {
    double sum = 0.0;
    for (std::size_t i = k; i < k + window && i < x.size(); ++i) sum += std::norm(x[i]);
    return sum / static_cast<double>(window) >= 0.25 * loudest;
  }
  // The first sample from k at which the carrier is `state`; x.size() where none is.
  std::size_t next(std::size_t k, bool state) const {
    while (k < x.size() && on(k) != state) ++k;
    return k;
  }
};

// `base` with `extra`'s options over it.
inline OptionTexts over(OptionTexts base, const OptionTexts& extra) {
  for (const auto& [option, value] : extra) base[option] = value;
  return base;
}

// A receiver's recording conditions: SNR lo .. hi dB ("inf" at both ends for no noise), and where
// given a carrier offset within +-offset Hz with a drawn phase, and clocks within +-ppm.
inline OptionTexts conditions(const std::string& lo, const std::string& hi, const std::string& offset = "", const std::string& ppm = "",
                              OptionTexts more = {}) {
  more["--snr-min"] = lo;
  more["--snr-max"] = hi;
  if (!offset.empty()) more.insert({{"--frequency-offset-min", "-" + offset}, {"--frequency-offset-max", offset}, {"--carrier-phase", "true"}});
  if (!ppm.empty()) more.insert({{"--clock-ppm-min", "-" + ppm}, {"--clock-ppm-max", ppm}});
  return more;
}
inline OptionTexts noise_free(OptionTexts more = {}) { return conditions("inf", "inf", "", "", std::move(more)); }

// The settings a run of `name` with `texts` reads; a refusal fails the test.
inline RunSettings read_settings(const std::string& name, const OptionTexts& texts) {
  auto read = read_options({{name}, texts});
  if (std::holds_alternative<RunSettings>(read)) return std::get<RunSettings>(std::move(read));
  ADD_FAILURE() << std::get<Refusal>(read).text;
  return {};
}

// A run of `name` with `texts` is refused, and the refusal says `reason`.
inline void expect_refused(const std::string& name, const OptionTexts& texts, std::string_view reason) {
  auto read = read_options({{name}, texts});
  ASSERT_TRUE(std::holds_alternative<Refusal>(read)) << reason;
  EXPECT_NE(std::get<Refusal>(read).text.find(reason), std::string::npos) << std::get<Refusal>(read).text;
}

// Octets as upper-case hexadecimal, two digits each.
template <class Octets>
std::string hex_text(const Octets& octets) {
  std::string text;
  for (const auto o : octets) {
    text += "0123456789ABCDEF"[(static_cast<unsigned>(o) >> 4) & 15U];
    text += "0123456789ABCDEF"[static_cast<unsigned>(o) & 15U];
  }
  return text;
}

// Bytes as --payload's line takes them: two hexadecimal digits each, then the line's end.
inline std::string payload_line(std::string_view bytes) { return hex_text(bytes) + "\n"; }

// --save-symbols of `file` tells `read`, the bits a receiver read, in order.
template <class Read>
void expect_symbols_told(const RunSettings& s, const PlannedFile& file, const Read& read) {
  const TransmittedSymbols told = exact_file_symbols(s, file);
  ASSERT_EQ(told.symbols.size(), read.size());
  for (std::size_t i = 0; i < read.size(); ++i) ASSERT_EQ(told.symbols[i].bits, static_cast<std::uint64_t>(read[i])) << i;
}

// A file's labels by key, as its settings file and metadata give them.
struct Labels {
  std::vector<ParameterRow> rows;
  std::string text(std::string_view key) const { return label_text(rows, key); }
  double number(std::string_view key) const { return label(rows, key); }
  std::vector<double> list(std::string_view key) const { return label_list(rows, key); }
  bool has(std::string_view key) const {
    return std::any_of(rows.begin(), rows.end(), [key](const ParameterRow& row) { return row.kind->key == key; });
  }
};

// One file of the run, its labels and its samples.
struct Made {
  PlannedFile file;
  Labels labels;
  Signal x;
};

// Each file of a run of `name` with `texts` and `seed`; `s` gets the run's settings. A refusal
// fails the test and makes nothing.
inline std::vector<Made> made_files(const std::string& name, const OptionTexts& texts, std::uint32_t seed, RunSettings& s) {
  auto read = read_options({{name}, texts});
  if (!std::holds_alternative<RunSettings>(read)) {
    ADD_FAILURE() << std::get<Refusal>(read).text;
    return {};
  }
  s = std::get<RunSettings>(std::move(read));
  std::vector<Made> made;
  RunPlan plan(s, seed);
  while (std::optional<PlannedFile> next = plan.next()) {
    PlannedFile file = *next;
    file.seeds = derive_file_seeds(seed, file.modulation, file.index);
    made.push_back({file, {file_parameters({s, file, std::nullopt})}, synthesize_exact_file(s, file)});
  }
  return made;
}

}  // namespace quorvin::test
