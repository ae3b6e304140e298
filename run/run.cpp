#include "run/run.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <array>
#include <exception>
#include <stdexcept>
#include <variant>
#include <memory>
#include <new>
#include <span>

#include "channel/noise.h"
#include "common/limits.h"
#include "common/text.h"
#include "modulation/analog.h"
#include "synthesis/exact_file.h"
#include "synthesis/scene.h"
#include "writers/atomic_file.h"
#include "writers/channel_file.h"
#include "writers/sample_file.h"
#include "writers/settings_file.h"
#include "writers/symbol_file.h"

namespace quorvin {
namespace {

// The classic model's analog modulators, by the name's analog variant.
Signal synthesize_analog(const RunSettings& s, const PlannedFile& file, Route variant) {
  if (s.num_symbols < 0) throw std::invalid_argument("num_symbols must not be negative.");
  const auto n = static_cast<std::uint32_t>(require_sample_count(s.num_symbols));
  const double fc = s.analog_carrier_frequency;
  Signal signal;
  switch (variant) {
    case Route::am: signal = am_modulate(fc, file.message_frequency, file.amplitude, s.sample_rate, n); break;
    case Route::fm:
      signal = fm_modulate(fc, file.message_frequency, s.analog_deviation, file.amplitude, s.sample_rate, n);
      break;
    case Route::am_ssb: signal = am_ssb_modulate(fc, file.message_frequency, file.amplitude, s.sample_rate, n); break;
    default: signal = cw_tone(fc, file.amplitude, s.sample_rate, n); break;  // the catalogue's last analog route
  }
  // Analog signals are always mixed, even by 0 Hz.
  signal = frequency_shift(std::move(signal), s.sample_rate, s.mix_frequency);
  return add_awgn(std::move(signal), file.snr_db, file.seeds.noise);
}

Signal synthesize_classic_file(const RunSettings& s, const PlannedFile& file) {
  if (const Waveform w = waveform_of(file); is_analog(w)) return synthesize_analog(s, file, w.variant);
  return generate_digital_signal(file.modulation, {.num_symbols = s.num_symbols,
                                                   .symbol_rate = file.symbol_rate,
                                                   .sample_rate = s.sample_rate,
                                                   .snr_db = file.snr_db,
                                                   .mix_frequency = s.mix_frequency,
                                                   .timing_error = file.timing_error,
                                                   .frequency_offset = file.frequency_offset,
                                                   .seeds = file.seeds});
}

// The signal's stream, or the message a user understands for why there is none.
std::variant<SampleStream, std::string> try_prepare(const RunSettings& s, const PlannedFile& file) {
  try {
    return prepare_file(s, file);
  } catch (const std::bad_alloc&) {
    return std::string("out of memory.");
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

// One output file on its way: where it goes and its writer, filled and completed.
struct PendingFile {
  OutputPath path;
  std::string name;  // the file name alone, for messages
  AtomicFileWriter writer;

  PendingFile(const RunSettings& s, const PlannedFile& file, std::string_view extension, const OutputOptions& output)
      : path(output_file_path(s.output_folder, file.modulation, file.index, extension)),
        name(utf16_to_utf8(output_file_path(u"", file.modulation, file.index, extension).text)),
        writer(path.file_system, output.write, output.fresh_folder ? FinalName::free : FinalName::unknown) {}

  // An earlier file of that name that goes with the set and is not written anew.
  PendingFile(const RunSettings& s, const PlannedFile& file, std::string_view extension, AtomicFileWriter::EarlierOnly)
      : path(output_file_path(s.output_folder, file.modulation, file.index, extension)),
        name(utf16_to_utf8(output_file_path(u"", file.modulation, file.index, extension).text)),
        writer(path.file_system, AtomicFileWriter::EarlierOnly{}) {}

  // "<file name>: <reason>", and where its temporary file may have been left.
  std::string problem() const {
    std::string text = name + ": " + writer.failure();
    if (!writer.leftover().empty()) {
      // The temporary's name is ASCII, so it converts on every platform.
      text += "; its temporary file " + writer.leftover().filename().string() +
              " was moved away with its folder and may remain there";
    }
    return text;
  }
};

// Writes the samples: CSV lines, cf32_le, or ci16_le at `full_scale`. Returns the largest finite
// |I| or |Q| of a ci16_le recording (0 for the others), which its full scale must hold.
double fill_samples(PendingFile& samples, const SampleStream& stream, SampleFormat format,
                    std::optional<double> full_scale) {
  double peak = 0.0;
  // The digest its metadata records; none for a device written in place.
  if (format == SampleFormat::sigmf && !samples.writer.temporary().empty()) samples.writer.keep_digest();
  stream.emit([&samples, format, full_scale, &peak](std::span<const Sample> block) {
    if (format == SampleFormat::csv) {
      append_sample_lines(samples.writer, block);
    } else if (full_scale) {
      for (const Sample& x : block) {
        for (const double part : {std::abs(x.real()), std::abs(x.imag())}) {
          if (part > peak && std::isfinite(part)) peak = part;
        }
      }
      append_ci16_samples(samples.writer, block, 32767.0 / *full_scale);
    } else {
      append_cf32_samples(samples.writer, block);
    }
  });
  return peak;
}

void fill_text(PendingFile& file, std::string_view text) {
  file.writer.append(text);
  file.writer.complete();
}

const char* sample_extension(SampleFormat format) { return format == SampleFormat::csv ? ".csv" : ".sigmf-data"; }

// A companion this run does not write goes with the sample file it replaces, so none is left
// beside a sample file of another run. A fresh folder held none.
void note_earlier(std::deque<PendingFile>& earlier, const std::optional<PendingFile>& written, const RunSettings& s,
                  const PlannedFile& file, std::string_view extension, const OutputOptions& output) {
  if (!written && !output.fresh_folder) earlier.emplace_back(s, file, extension, AtomicFileWriter::EarlierOnly{});
}

// The report of an optional companion ("Settings", "settings"); false when it is not in place.
bool report_companion(ProducedFile& produced, const PendingFile& companion, std::u16string_view what,
                      std::u16string_view what_lower) {
  if (companion.writer.is_placed()) {
    produced.report += u"  " + std::u16string(what) + u" saved to " + companion.path.text + u"\n";
    return true;
  }
  produced.report += u"  Failed to save " + std::u16string(what_lower) + u" to " + companion.path.text + u"\n";
  produced.problems.push_back(companion.problem());
  produced.saved = false;
  return false;
}

// "Channel taps" in the middle of a sentence: "channel taps".
std::u16string lower_first(std::u16string text) {
  if (!text.empty() && text[0] >= u'A' && text[0] <= u'Z') text[0] = static_cast<char16_t>(text[0] - u'A' + u'a');
  return text;
}

// Writes the signal and its companions as one set; the report and outcome of a produced file.
ProducedFile save_files(const RunSettings& s, const PlannedFile& file, const SampleStream& samples,
                        const OutputOptions& output) {
  const std::u16string name = utf8_to_utf16(file.modulation);
  ProducedFile produced;
  const bool sigmf = output.format == SampleFormat::sigmf;
  // Every file of the set is complete under its temporary name before any is put in place.
  std::optional<PendingFile> data(std::in_place, s, file, sample_extension(output.format), output);
  std::optional<double> full_scale;
  if (sigmf && s.signal_model == SignalModel::exact && s.exact.datatype == SigmfDatatype::ci16_le) {
    full_scale = ci16_full_scale(file, 0.0);
  }
  const double peak = fill_samples(*data, samples, output.format, full_scale);
  // A peak the nominal full scale cannot hold (a short radar pulse, a rare noise peak) is written
  // again from the start at a full scale that holds it: the stream gives the same samples.
  if (full_scale && ci16_full_scale(file, peak) > *full_scale) {
    full_scale = ci16_full_scale(file, peak);
    data.emplace(s, file, sample_extension(output.format), output);
    fill_samples(*data, samples, output.format, full_scale);
  }
  if (output.samples_written) output.samples_written();
  data->writer.complete();
  std::optional<PendingFile> metadata;
  if (sigmf) {
    // Not for a device written in place, whose bytes are not kept.
    const std::string data_digest = data->writer.temporary().empty() ? std::string() : data->writer.digest_hex();
    fill_text(metadata.emplace(s, file, ".sigmf-meta", output), output.sigmf_metadata(file, samples.length, full_scale, data_digest));
  }
  std::optional<PendingFile> settings;
  if (s.save_settings_file) {
    PendingFile& pending = settings.emplace(s, file, ".txt", output);
    append_settings(pending.writer, settings_entries(file_parameters({s, file, std::nullopt})));
    pending.writer.complete();
  }
  // The channel's files, one a track, each where the file drew its stage.
  // (Those of an earlier run go with the sample files they were written beside, even when this run
  // writes none.)
  const std::span<const ChannelTrack* const> tracks = channel_tracks();
  std::vector<std::optional<PendingFile>> channel(tracks.size());
  if (saves_channel(s)) {
    const ChannelPath path = exact_channel_path(s, file, samples.length);
    for (std::size_t t = 0; t < tracks.size(); ++t) {
      const TrackValues* values = path.find(tracks[t]->name);
      if (values == nullptr) continue;
      append_track_npy(channel[t].emplace(s, file, track_extension(*tracks[t]), output).writer, *values);
      channel[t]->writer.complete();
    }
  }
  // The transmitted symbols, for digital names (computed apart from the samples: no byte changes).
  std::optional<PendingFile> symbols;
  if (saves_symbols(s) && tells_symbols(waveform_of(file))) {
    append_symbols_npy(symbols.emplace(s, file, symbols_extension, output).writer, exact_file_symbols(s, file));
    symbols->writer.complete();
  }
  // A sample file and a settings, channel or symbols file are never from different runs.
  std::deque<PendingFile> earlier;  // a deque: its writers stay where the companions point
  note_earlier(earlier, settings, s, file, ".txt", output);
  for (std::size_t t = 0; t < tracks.size(); ++t) note_earlier(earlier, channel[t], s, file, track_extension(*tracks[t]), output);
  note_earlier(earlier, symbols, s, file, symbols_extension, output);
  std::vector<Companion> companions;
  if (metadata) companions.push_back({metadata->writer, true});
  std::vector<std::optional<PendingFile>*> optional_files = {&settings};
  for (std::optional<PendingFile>& track : channel) optional_files.push_back(&track);
  optional_files.push_back(&symbols);
  for (std::optional<PendingFile>* optional : optional_files) {
    if (*optional) companions.push_back({(*optional)->writer, false});
  }
  for (PendingFile& f : earlier) companions.push_back({f.writer, false});
  const bool placed = put_in_place_together(data->writer, companions);
  if (!placed) {
    produced.report = name + u": Failed to save file.\n";
    std::vector<const PendingFile*> set = {&*data, metadata ? &*metadata : nullptr};
    for (std::optional<PendingFile>* optional : optional_files) set.push_back(*optional ? &**optional : nullptr);
    for (const PendingFile& f : earlier) set.push_back(&f);
    for (const PendingFile* f : set) {
      if (f != nullptr && !f->writer.failure().empty()) produced.problems.push_back(f->problem());
    }
    return produced;
  }
  produced.outcome = FileOutcome::saved;
  produced.samples = samples.length;
  produced.report = name + u": Saved to " + data->path.text + u"\n";
  if (metadata) produced.report += u"  Metadata saved to " + metadata->path.text + u"\n";
  produced.saved = true;
  if (settings) produced.settings_saved = report_companion(produced, *settings, u"Settings", u"settings");
  for (std::size_t t = 0; t < tracks.size(); ++t) {
    if (!channel[t]) continue;
    const std::u16string what = utf8_to_utf16(tracks[t]->report);
    report_companion(produced, *channel[t], what, lower_first(what));
  }
  if (symbols) report_companion(produced, *symbols, u"Symbols", u"symbols");
  return produced;
}

}  // namespace

Signal synthesize_file(const RunSettings& s, const PlannedFile& file) {
  if (file.scene) return synthesize_scene(s, file);
  if (s.signal_model == SignalModel::exact) return synthesize_exact_file(s, file);
  return synthesize_classic_file(s, file);
}

SampleStream prepare_file(const RunSettings& s, const PlannedFile& file) {
  if (file.scene) {
    auto whole = std::make_shared<const Signal>(synthesize_scene(s, file));
    return {whole->size(), [whole](const SampleSink& sink) { sink(*whole); }};
  }
  if (s.signal_model == SignalModel::exact) return prepare_exact_file(s, file);
  auto whole = std::make_shared<const Signal>(synthesize_classic_file(s, file));
  return {whole->size(), [whole](const SampleSink& sink) { sink(*whole); }};
}

double planned_peak_samples(const RunSettings& s, const PlannedFile& file) {
  // The sum, one emitter's signal and its stage's copy, with margins.
  if (file.scene) return 3.0 * static_cast<double>(s.exact.samples_per_file) + 1024.0;
  if (s.signal_model == SignalModel::exact) {
    // The channel's path is held whole beside the samples: a complex gain per row of a complex
    // track and a real value (half a sample's bytes) per real one, per sample.
    double channel = 0.0;
    if (saves_channel(s)) {
      for (const ChannelTrack* track : channel_tracks()) {
        channel += static_cast<double>(track->rows(s.exact.impairments, &file.impairments)) * (track->complex ? 1.0 : 0.5);
      }
    }
    // The symbols are held whole too: a record and its bytes, about six samples' worth each.
    double symbols = 0.0;
    if (saves_symbols(s) && tells_symbols(waveform_of(file)) && s.sample_rate > 0.0) {
      symbols = 6.0 * (std::max(0.0, exact_file_samples(s, file)) * file.symbol_rate / s.sample_rate + s.exact.filter_span + 64.0);
    }
    return exact_held_samples(s, file) + channel * std::max(0.0, exact_file_samples(s, file)) + symbols;
  }
  if (const Waveform w = waveform_of(file); is_analog(w)) {
    const double samples = std::max(0.0, static_cast<double>(s.num_symbols));
    // AM-SSB's transform holds its padded length and more; the other modulators the samples alone.
    if (w.variant != Route::am_ssb || samples > static_cast<double>(max_samples_per_file)) return samples;
    return am_ssb_peak_samples(static_cast<std::uint32_t>(samples));
  }
  return digital_peak_samples(file.modulation, s.num_symbols, file.symbol_rate, s.sample_rate);
}

namespace {

ProducedFile produce_samples(const RunSettings& s, const PlannedFile& file, const OutputOptions& output) {
  const std::u16string name = utf8_to_utf16(file.modulation);
  auto stream = try_prepare(s, file);
  if (const std::string* failure = std::get_if<std::string>(&stream)) {
    ProducedFile produced;
    produced.outcome = FileOutcome::generation_failed;
    produced.report = name + u": Failed to generate signal: " + utf8_to_utf16(*failure) + u"\n";
    return produced;
  }
  if (output.format == SampleFormat::container) {
    const SampleStream& samples = std::get<SampleStream>(stream);
    ProducedFile produced;
    produced.outcome = FileOutcome::saved;
    produced.saved = true;
    produced.samples = samples.length;
    produced.kept.reserve(samples.length);
    samples.emit([&produced](std::span<const Sample> block) {
      for (const Sample& x : block) produced.kept.emplace_back(static_cast<float>(x.real()), static_cast<float>(x.imag()));
    });
    if (saves_channel(s)) produced.channel = exact_channel_path(s, file, samples.length);
    if (saves_symbols(s)) produced.symbols = exact_file_symbols(s, file);
    return produced;
  }
  // Writing allocates too (buffers, names); running out of memory there fails this file only.
  try {
    return save_files(s, file, std::get<SampleStream>(stream), output);
  } catch (const std::exception& e) {
    ProducedFile produced;
    produced.report = name + u": Failed to save file.\n";
    const bool memory = dynamic_cast<const std::bad_alloc*>(&e) != nullptr;
    produced.problems.push_back(utf16_to_utf8(output_file_path(u"", file.modulation, file.index,
                                                               sample_extension(output.format)).text) + ": " +
                                (memory ? "out of memory" : e.what()));
    return produced;
  }
}

}  // namespace

ProducedFile produce_file(const RunSettings& s, const PlannedFile& file, const OutputOptions& output) {
  ProducedFile produced = produce_samples(s, file, output);
  if (output.labels && !file.scene) {
    // Rows that cannot be made here (out of memory) are left to the record's writer, as before.
    try {
      produced.labels = output.labels(file);
    } catch (const std::exception&) {
      produced.labels.reset();
    }
  }
  return produced;
}

}  // namespace quorvin
