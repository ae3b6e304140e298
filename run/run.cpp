#include "run/run.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <variant>
#include <new>

#include "channel/noise.h"
#include "common/limits.h"
#include "common/text.h"
#include "modulation/analog.h"
#include "run/sample_file.h"
#include "run/settings_file.h"

namespace quorvin {
namespace {

Signal synthesize_analog(const RunSettings& s, const PlannedFile& file) {
  if (s.num_symbols < 0) throw std::invalid_argument("num_symbols must not be negative.");
  const auto n = static_cast<std::uint32_t>(require_sample_count(s.num_symbols));
  const double fc = s.analog_carrier_frequency;
  Signal signal;
  if (file.modulation == "AM") {
    signal = am_modulate(fc, file.message_frequency, file.amplitude, s.sample_rate, n);
  } else if (file.modulation == "FM") {
    signal = fm_modulate(fc, file.message_frequency, s.analog_deviation, file.amplitude, s.sample_rate, n);
  } else if (file.modulation == "AM-SSB") {
    signal = am_ssb_modulate(fc, file.message_frequency, file.amplitude, s.sample_rate, n);
  } else {
    signal = cw_tone(fc, file.amplitude, s.sample_rate, n);
  }
  // Analog signals are always mixed, even by 0 Hz.
  signal = frequency_shift(std::move(signal), s.sample_rate, s.mix_frequency);
  return add_awgn(std::move(signal), file.snr_db, file.seeds.noise);
}

SettingsEntries settings_entries(const RunSettings& s, const PlannedFile& file) {
  if (file.analog) {
    return analog_settings_entries(file.modulation, s.sample_rate, s.analog_carrier_frequency,
                                   file.message_frequency, s.analog_deviation, file.amplitude,
                                   file.snr_db, s.mix_frequency, s.num_symbols);
  }
  return digital_settings_entries(file.modulation, file.symbol_rate, s.sample_rate, file.snr_db,
                                  file.timing_error, file.frequency_offset, s.mix_frequency,
                                  s.num_symbols);
}

// The signal, or the message a user understands for why there is none.
std::variant<Signal, std::string> try_synthesize(const RunSettings& s, const PlannedFile& file) {
  try {
    return synthesize_file(s, file);
  } catch (const std::bad_alloc&) {
    return std::string("out of memory.");
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

// Writes the file's samples in the chosen format; returns the rest of its "Saved to" report
// (path and line end, and the metadata line of a recording), or nothing when it failed.
std::optional<std::u16string> write_samples(const RunSettings& s, const PlannedFile& file,
                                            const Signal& samples, const OutputOptions& output) {
  if (output.format == SampleFormat::csv) {
    const OutputPath path = output_file_path(s.output_folder, file.modulation, file.index, ".csv");
    if (!write_sample_file(path.file_system, samples)) return std::nullopt;
    return path.text + u"\n";
  }
  const OutputPath data = output_file_path(s.output_folder, file.modulation, file.index, ".sigmf-data");
  const OutputPath meta = output_file_path(s.output_folder, file.modulation, file.index, ".sigmf-meta");
  if (!write_cf32_file(data.file_system, samples)) return std::nullopt;
  // A recording is only usable with its metadata: without it, the data goes too.
  if (!write_text_file(meta.file_system, output.sigmf_metadata(file, samples.size()))) {
    std::error_code ignored;
    std::filesystem::remove(data.file_system, ignored);
    return std::nullopt;
  }
  return data.text + u"\n  Metadata saved to " + meta.text + u"\n";
}

}  // namespace

Signal synthesize_file(const RunSettings& s, const PlannedFile& file) {
  if (file.analog) return synthesize_analog(s, file);
  return generate_digital_signal(file.modulation, s.num_symbols, file.symbol_rate, s.sample_rate,
                                 file.snr_db, s.mix_frequency, file.timing_error,
                                 file.frequency_offset, file.seeds);
}

double planned_peak_samples(const RunSettings& s, const PlannedFile& file) {
  if (file.analog) return std::max(0.0, static_cast<double>(s.num_symbols));
  return digital_peak_samples(file.modulation, s.num_symbols, file.symbol_rate, s.sample_rate);
}

ProducedFile produce_file(const RunSettings& s, const PlannedFile& file, const OutputOptions& output) {
  const std::u16string name = utf8_to_utf16(file.modulation);
  ProducedFile produced;
  auto signal = try_synthesize(s, file);
  if (const std::string* failure = std::get_if<std::string>(&signal)) {
    produced.report = name + u": Failed to generate signal: " + utf8_to_utf16(*failure) + u"\n";
    return produced;
  }
  const Signal& samples = std::get<Signal>(signal);
  const std::optional<std::u16string> saved = write_samples(s, file, samples, output);
  if (!saved) {
    produced.report = name + u": Failed to save file.\n";
    return produced;
  }
  produced.samples = samples.size();
  produced.report = name + u": Saved to " + *saved;
  produced.saved = true;
  if (!s.save_settings_file) return produced;
  const OutputPath settings_path = output_file_path(s.output_folder, file.modulation, file.index, ".txt");
  if (write_settings_file(settings_path.file_system, settings_entries(s, file))) {
    produced.report += u"  Settings saved to " + settings_path.text + u"\n";
  } else {
    produced.report += u"  Failed to save settings to " + settings_path.text + u"\n";
    produced.saved = false;
  }
  return produced;
}

std::u16string run_generation(const RunSettings& settings, std::optional<std::uint32_t> draw_seed) {
  RunPlan plan(settings, draw_seed ? *draw_seed : clock_seed());
  std::u16string report;
  while (const std::optional<PlannedFile> file = plan.next()) {
    report += produce_file(plan.settings(), *file).report;
  }
  return report;
}

}  // namespace quorvin
