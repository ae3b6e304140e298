// generate_digital_signal on arbitrary names and on parameters that passed the form's checks,
// drawn as the run draws them, with at most 64 symbols and small signals. Properties: it either
// returns or throws one of the errors it documents; an unknown name gives an empty signal; and
// the result never holds more samples than digital_peak_samples promised, the figure the run
// budgets its memory with.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/text.h"
#include "form/form.h"
#include "fuzz_support.h"
#include "generator/generator.h"
#include "plan/draw.h"

namespace {

constexpr const char* names[] = {"BPSK",   "QPSK",   "OQPSK",  "Pi/4-DQPSK", "8PSK",    "16PSK",  "QAM16",
                                 "QAM32",  "QAM64",  "QAM128", "QAM256",     "QAM1024", "QAM2048", "APSK16",
                                 "APSK32", "APSK64", "2FSK",   "4FSK",       "8FSK",    "MSK",    "GMSK"};

// Larger signals only cost time; the ceiling itself is checked before allocation.
constexpr double most_samples = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::string name;
  if (input.ConsumeBool()) {
    name = names[input.ConsumeIntegralInRange<std::size_t>(0, std::size(names) - 1)];
    if (input.ConsumeBool()) name += input.ConsumeRandomLengthString(8);  // "QAM16 ", "QAM-4", ...
  } else {
    name = input.ConsumeRandomLengthString(24);
  }
  quorvin::FormSnapshot form;
  form.modulation_checked[4] = true;
  std::u16string quorvin::FormSnapshot::*const boxes[] = {
      &quorvin::FormSnapshot::symbol_rate_min,      &quorvin::FormSnapshot::symbol_rate_max,
      &quorvin::FormSnapshot::sample_rate,          &quorvin::FormSnapshot::snr_min,
      &quorvin::FormSnapshot::snr_max,              &quorvin::FormSnapshot::timing_error_min,
      &quorvin::FormSnapshot::timing_error_max,     &quorvin::FormSnapshot::frequency_offset_min,
      &quorvin::FormSnapshot::frequency_offset_max, &quorvin::FormSnapshot::mix_frequency,
      &quorvin::FormSnapshot::num_symbols};
  for (auto box : boxes) form.*box = quorvin::utf8_to_utf16(input.ConsumeRandomLengthString(40));
  const auto read = quorvin::read_run_settings(form);
  if (!std::holds_alternative<quorvin::RunSettings>(read)) return 0;
  const auto& s = std::get<quorvin::RunSettings>(read);

  quorvin::DrawSource draws(input.ConsumeIntegral<std::uint32_t>());
  const std::int32_t num_symbols = s.num_symbols % 65;
  const double symbol_rate = quorvin::draw_uniform(s.symbol_rate_min, s.symbol_rate_max, draws);
  const double snr_db = quorvin::draw_uniform(s.snr_min_db, s.snr_max_db, draws);
  const double timing_error = quorvin::draw_uniform(s.timing_error_min, s.timing_error_max, draws);
  const double frequency_offset = quorvin::draw_uniform(s.frequency_offset_min, s.frequency_offset_max, draws);
  const double peak = quorvin::digital_peak_samples(name, num_symbols, symbol_rate, s.sample_rate);
  if (peak > most_samples) return 0;
  quorvin::DigitalSeeds seeds{input.ConsumeIntegral<std::uint32_t>(), input.ConsumeIntegral<std::uint32_t>()};
  try {
    const quorvin::Signal signal =
        quorvin::generate_digital_signal(name, {.num_symbols = num_symbols,
                                                .symbol_rate = symbol_rate,
                                                .sample_rate = s.sample_rate,
                                                .snr_db = snr_db,
                                                .mix_frequency = s.mix_frequency,
                                                .timing_error = timing_error,
                                                .frequency_offset = frequency_offset,
                                                .seeds = seeds});
    QUORVIN_FUZZ_CHECK(static_cast<double>(signal.size()) <= peak);
  } catch (const std::length_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return 0;
}
