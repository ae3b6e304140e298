#include "writers/hdf5_container.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "modulation/catalogue.h"
#include "synthesis/parameters.h"
#include "synthesis/scene.h"
#include "writers/channel_file.h"
#include "writers/manifest.h"
#include "writers/sample_file.h"
#include "writers/symbol_file.h"

#ifdef QUORVIN_HDF5
#include <hdf5.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <vector>
#endif

namespace quorvin {

std::string container_file_name(const Shard& shard) {
  if (shard.count == 1) return "dataset.h5";
  return "dataset-" + std::to_string(shard.index) + "-of-" + std::to_string(shard.count) + ".h5";
}

#ifdef QUORVIN_HDF5

namespace {

// Rows collected before they are written: one extent change and one write per block rather than
// per file keep HDF5's index and metadata cache small, so a run's cost grows with its files alone.
constexpr hsize_t label_block_rows = 4096;
constexpr hsize_t sample_block = 65536;  // samples of "iq" per write (and per chunk)
// Samples of a deflated "iq" chunk: a reader of one item decompresses the chunks it touches, so a
// small chunk (four 1024-sample frames) serves per-item reads; deflate restarting every chunk
// costs a little size.
constexpr hsize_t compressed_chunk_samples = 4096;

// An extendible dataset of `type`, (0, row...) with `row` the shape of each row (none: one
// value). A chunk holds `chunk_rows` rows of the row's last extent: a row of many channel taps
// would pass HDF5's chunk limit whole.
hid_t make_dataset(hid_t parent, const char* name, hid_t type, hsize_t chunk_rows, const std::vector<hsize_t>& row,
                   bool compress) {
  const int rank = static_cast<int>(row.size()) + 1;
  std::vector<hsize_t> dims = {0};
  std::vector<hsize_t> max_dims = {H5S_UNLIMITED};
  std::vector<hsize_t> chunk = {chunk_rows};
  for (std::size_t k = 0; k < row.size(); ++k) {
    dims.push_back(row[k]);
    max_dims.push_back(row[k]);
    chunk.push_back(k + 1 == row.size() ? row[k] : 1);
  }
  const hid_t space = H5Screate_simple(rank, dims.data(), max_dims.data());
  const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(properties, rank, chunk.data());
  H5Pset_obj_track_times(properties, false);  // no creation times: the same run, the same bytes
  if (compress) H5Pset_deflate(properties, 4);
  const hid_t dataset = H5Dcreate2(parent, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
  H5Pclose(properties);
  H5Sclose(space);
  return dataset;
}

// Appends `rows` rows of shape `row` at row `at`.
bool write_rows(hid_t dataset, hid_t type, const void* data, hsize_t at, hsize_t rows, const std::vector<hsize_t>& row) {
  if (rows == 0) return true;
  const int rank = static_cast<int>(row.size()) + 1;
  std::vector<hsize_t> grown = {at + rows};
  std::vector<hsize_t> start = {at};
  std::vector<hsize_t> sizes = {rows};
  for (const hsize_t extent : row) {
    grown.push_back(extent);
    start.push_back(0);
    sizes.push_back(extent);
  }
  if (H5Dset_extent(dataset, grown.data()) < 0) return false;
  const hid_t space = H5Dget_space(dataset);
  H5Sselect_hyperslab(space, H5S_SELECT_SET, start.data(), nullptr, sizes.data(), nullptr);
  const hid_t memory = H5Screate_simple(rank, sizes.data(), nullptr);
  const herr_t written = H5Dwrite(dataset, type, memory, space, H5P_DEFAULT, data);
  H5Sclose(memory);
  H5Sclose(space);
  return written >= 0;
}

// A dataset grown a block of rows at a time: fixed-size rows collect as bytes, text as strings.
struct Column {
  hid_t dataset = -1;
  hid_t type = -1;          // in memory and in the file
  std::size_t row_bytes = 0;  // 0 for text
  std::vector<hsize_t> row;   // each row's shape; none for a one-dimensional dataset
  hsize_t block_rows = label_block_rows;
  hsize_t written = 0;
  std::vector<unsigned char> pending;
  std::vector<std::string> pending_text;

  hsize_t pending_rows() const { return row_bytes == 0 ? pending_text.size() : pending.size() / row_bytes; }

  bool flush() {
    bool ok = true;
    if (row_bytes == 0) {
      std::vector<const char*> pointers;
      pointers.reserve(pending_text.size());
      for (const std::string& text : pending_text) pointers.push_back(text.c_str());
      ok = write_rows(dataset, type, pointers.data(), written, pointers.size(), row);
    } else {
      ok = write_rows(dataset, type, pending.data(), written, pending_rows(), row);
    }
    written += pending_rows();
    pending.clear();
    pending_text.clear();
    return ok;
  }
  // Rows of `row_bytes` each; a block as large as a whole block goes straight to the file.
  bool add(const void* rows, hsize_t count) {
    if (pending.empty() && count >= block_rows) {
      const bool ok = write_rows(dataset, type, rows, written, count, row);
      written += count;
      return ok;
    }
    const auto* bytes = static_cast<const unsigned char*>(rows);
    pending.insert(pending.end(), bytes, bytes + count * row_bytes);
    return pending_rows() < block_rows || flush();
  }
  bool add_text(std::string text) {
    pending_text.push_back(std::move(text));
    return pending_rows() < block_rows || flush();
  }
  void close() {
    if (dataset >= 0) H5Dclose(dataset);
    dataset = -1;
  }
};

// A label column takes the type of its first value: text, a real number or a whole number. Rows
// without a value (a symbol rate of an analog file) hold NaN, -1 or "". The column is made at its
// first value and filled back for the rows before it.
static_assert(std::is_same_v<std::variant_alternative_t<0, ParameterValue>, std::string> &&
              std::is_same_v<std::variant_alternative_t<1, ParameterValue>, double>);

struct LabelColumn {
  Column column;
  std::size_t kind = 0;  // the ParameterValue alternative

  // The cell of `value`, or this column's empty cell.
  bool add(const std::optional<ParameterValue>& value) {
    if (kind == 0) return column.add_text(value ? cell_text(*value) : std::string());
    double real = std::numeric_limits<double>::quiet_NaN();
    std::int64_t whole = -1;
    if (value) {
      if (const double* number = std::get_if<double>(&*value)) real = *number;
      if (const std::int64_t* integer = std::get_if<std::int64_t>(&*value)) {
        whole = *integer;
        real = static_cast<double>(*integer);
      }
    }
    return kind == 1 ? column.add(&real, 1) : column.add(&whole, 1);
  }
};

// The system's words for the failure HDF5 met (its file driver leaves errno set).
std::string write_failure(int error_number) {
  return error_number != 0 ? std::generic_category().message(error_number) : std::string("cannot be written");
}

// Whether `name` is still the file open as `file`, itself and not a link to it.
bool same_file(std::FILE* file, const std::filesystem::path& name) {
  struct stat open_file {};
  struct stat named {};
  return file != nullptr && fstat(fileno(file), &open_file) == 0 && lstat(name.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace

struct Hdf5Writer::State {
  // The temporary file: created exclusively under a fresh name and put in place when complete.
  // Declared first, so that it is discarded only after HDF5 has let go of the file.
  AtomicFileWriter target;
  const RunSettings settings;  // a copy: the writer may outlive the caller's settings
  std::optional<std::uint32_t> run_seed;
  std::int64_t fixed_length;
  std::string failure;
  hid_t file = -1;
  hid_t complex_type = -1;
  hid_t string_type = -1;
  hid_t labels = -1;
  Column iq;
  Column offsets;
  Column class_index;
  // --save-channel: a dataset a track of channel_tracks() ("channel_taps"), none where no file
  // of the run draws the track's stage.
  std::span<const ChannelTrack* const> tracks;
  std::vector<Column> channel;
  hid_t symbol_type = -1;
  Column symbols;         // every file's transmitted symbols, one after another
  Column symbol_offsets;  // each file's first row of "symbols"
  std::int64_t symbols_written = 0;
  // A scene run's: each capture's scene number, and each emitter's row of "iq".
  const bool scenes;
  Column scene;
  Column capture_index;
  std::int64_t captures = 0;
  std::vector<std::string_view> keys;  // manifest_label_columns, or scene_label_columns
  // The label columns, by key; a row reaches keys[k]'s through key_slots[k], without a look-up.
  std::map<std::string, std::size_t> slots;  // in key order, for the flushes and closes
  std::vector<LabelColumn> columns;
  std::vector<std::size_t> key_slots;

  // Where each key's column goes, once the keys are known.
  void place_keys() {
    for (const std::string_view key : keys) {
      const auto [at, added] = slots.try_emplace(std::string(key), columns.size());
      if (added) columns.emplace_back();
      key_slots.push_back(at->second);
    }
  }
  // Every label column, in key order.
  template <typename Each>
  void each_column(Each each) {
    for (const auto& slot : slots) each(columns[slot.second]);
  }
  hsize_t rows = 0;  // label rows added
  std::int64_t samples_written = 0;

  State(const std::filesystem::path& path, const RunSettings& s, std::optional<std::uint32_t> seed, std::int64_t length,
        const WriteContext& write)
      : target(path, write), settings(s), run_seed(seed), fixed_length(length), scenes(makes_scenes(s)) {}

  // Rows per block and chunk: a block, or the run's files when fewer, so that a small run's
  // container is not mostly empty chunks.
  hsize_t block_rows(hsize_t block) const {
    const double files = static_cast<double>(settings.modulations.size()) * static_cast<double>(settings.files_per_modulation);
    return std::clamp<hsize_t>(files < static_cast<double>(block) ? static_cast<hsize_t>(files) : block, 1, block);
  }

  hid_t type_of(std::size_t kind) const {
    return kind == 0 ? string_type : kind == 1 ? H5T_NATIVE_DOUBLE : H5T_NATIVE_INT64;
  }

  Column column_of(hid_t parent, const char* name, hid_t type, std::size_t row_bytes, hsize_t block,
                   std::vector<hsize_t> row = {}, bool compress = false) const {
    Column column;
    column.type = type;
    column.row_bytes = row_bytes;
    column.row = std::move(row);
    column.block_rows = block;
    // A chunk's samples: one row's last extent (see make_dataset), or one value.
    const hsize_t width = column.row.empty() ? 1 : column.row.back();
    const hsize_t chunk = compress ? std::clamp<hsize_t>(compressed_chunk_samples / width, 1, block) : block;
    column.dataset = make_dataset(parent, name, type, chunk, column.row, compress);
    return column;
  }

  // This row's cell of `key`; a column is made at its first value, with the earlier rows empty.
  bool add_cell(std::size_t k, const std::optional<ParameterValue>& value) {
    LabelColumn& label = columns[key_slots[k]];
    if (label.column.dataset < 0) {
      if (!value) return true;
      label.kind = value->index();
      const hid_t type = type_of(label.kind);
      label.column = column_of(labels, std::string(keys[k]).c_str(), type, label.kind == 0 ? 0 : 8, block_rows(label_block_rows));
      if (label.column.dataset < 0) return false;
      for (hsize_t row = 0; row < rows; ++row) {
        if (!label.add(std::nullopt)) return false;
      }
    }
    return label.add(value);
  }

  // One label row: the values of `parameters` in the keys' columns.
  bool add_row(const std::vector<ParameterRow>& parameters, const ProducedFile& produced) {
    const std::vector<std::optional<ParameterValue>> values = label_values(keys, parameters, produced);
    for (std::size_t k = 0; k < keys.size(); ++k) {
      if (!add_cell(k, values[k])) return false;
    }
    ++rows;
    return true;
  }

  // A scene's emitters, one label row each, beside the capture just added.
  bool add_emitters(const PlannedFile& capture, const ProducedFile& produced) {
    const std::int64_t number = capture.index;
    const std::int64_t row = captures++;
    if (!scene.add(&number, 1)) return false;
    for (const SceneEmitter& e : capture.scene->emitters) {
      const auto index = static_cast<std::int64_t>(modulation_class_index(e.file.modulation));
      if (!capture_index.add(&row, 1) || !class_index.add(&index, 1) ||
          !add_row(emitter_parameters(settings, e, run_seed), produced)) {
        return false;
      }
    }
    return true;
  }

  bool fail(const std::string& why) {
    if (failure.empty()) failure = why;
    return false;
  }
  bool fail_write() { return fail(write_failure(errno)); }

  // The datasets beside the labels, in the order they are laid out.
  std::vector<Column*> datasets() {
    std::vector<Column*> all = {&iq, &offsets, &class_index};
    for (Column& column : channel) all.push_back(&column);
    all.insert(all.end(), {&symbols, &symbol_offsets, &scene, &capture_index});
    return all;
  }

  // Every handle let go.
  void close_all() {
    each_column([](LabelColumn& label) { label.column.close(); });
    columns.clear();
    slots.clear();
    key_slots.clear();
    for (Column* column : datasets()) column->close();
    if (symbol_type >= 0) H5Tclose(symbol_type);
    symbol_type = -1;
    if (labels >= 0) H5Gclose(labels);
    if (complex_type >= 0) H5Tclose(complex_type);
    if (string_type >= 0) H5Tclose(string_type);
    labels = complex_type = string_type = -1;
    if (file >= 0 && H5Fclose(file) < 0) fail_write();
    file = -1;
  }

  bool lay_out(bool compress);

  // --save-channel: "channel_<name>" for each track some file of the run may draw: a complex
  // track's rows by the samples, a real track's samples.
  bool lay_out_channel(bool compress) {
    if (!saves_channel(settings)) return true;
    const auto length = static_cast<hsize_t>(fixed_length);
    tracks = channel_tracks();
    channel.resize(tracks.size());
    for (std::size_t t = 0; t < tracks.size(); ++t) {
      const hsize_t track_rows = tracks[t]->rows(settings.exact.impairments, nullptr);
      if (track_rows == 0) continue;
      const std::string name = "channel_" + std::string(tracks[t]->name);
      if (tracks[t]->complex) {
        channel[t] = column_of(file, name.c_str(), complex_type, 2 * sizeof(float) * track_rows * length,
                               block_rows(std::max<hsize_t>(1, sample_block / (track_rows * length))), {track_rows, length},
                               compress);
      } else {
        channel[t] = column_of(file, name.c_str(), H5T_NATIVE_DOUBLE, sizeof(double) * length,
                               block_rows(std::max<hsize_t>(1, sample_block / length)), {length}, compress);
      }
      if (channel[t].dataset < 0) return false;
    }
    return true;
  }

  // --save-symbols: "symbols", records as the .symbols.npy files hold them, and
  // "symbol_offsets", each file's first record (its last the next file's first, or the end).
  bool lay_out_symbols() {
    if (!saves_symbols(settings)) return true;
    symbol_type = H5Tcreate(H5T_COMPOUND, symbol_record_bytes);
    H5Tinsert(symbol_type, "index", 0, H5T_STD_I64LE);
    H5Tinsert(symbol_type, "instant", 8, H5T_IEEE_F64LE);
    H5Tinsert(symbol_type, "symbol", 16, H5T_STD_I32LE);
    H5Tinsert(symbol_type, "value", 20, complex_type);
    H5Tinsert(symbol_type, "bits", 28, H5T_STD_U64LE);
    symbols = column_of(file, "symbols", symbol_type, symbol_record_bytes, sample_block);
    symbol_offsets = column_of(file, "symbol_offsets", H5T_NATIVE_INT64, 8, block_rows(label_block_rows));
    return symbols.dataset >= 0 && symbol_offsets.dataset >= 0;
  }

  bool add_symbols(const TransmittedSymbols& sent) {
    if (symbols.dataset < 0) return true;
    if (!symbol_offsets.add(&symbols_written, 1)) return false;
    const std::string records = symbol_records(sent);
    symbols_written += static_cast<std::int64_t>(sent.symbols.size());
    return symbols.add(records.data(), sent.symbols.size());
  }

  // The file's rows of the channel's datasets: its path, NaN where it drew no such stage.
  bool add_channel(const ChannelPath& path) {
    const auto length = static_cast<std::size_t>(fixed_length);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t t = 0; t < channel.size(); ++t) {
      if (channel[t].dataset < 0) continue;
      const TrackValues* values = path.find(tracks[t]->name);
      if (tracks[t]->complex) {
        const std::size_t taps = channel[t].row.front();
        std::vector<std::complex<float>> row(taps * length, std::complex<float>(static_cast<float>(nan), static_cast<float>(nan)));
        for (std::size_t r = 0; values != nullptr && r < std::min(taps, values->rows.size()); ++r) {
          const std::vector<Sample>& gains = values->rows[r];
          for (std::size_t k = 0; k < std::min(length, gains.size()); ++k) {
            row[r * length + k] = {static_cast<float>(gains[k].real()), static_cast<float>(gains[k].imag())};
          }
        }
        if (!channel[t].add(row.data(), 1)) return false;
      } else {
        std::vector<double> row(length, nan);
        if (values != nullptr) std::copy_n(values->real.begin(), std::min(length, values->real.size()), row.begin());
        if (!channel[t].add(row.data(), 1)) return false;
      }
    }
    return true;
  }
};

bool hdf5_available() { return true; }
std::string_view hdf5_absence() { return {}; }

bool Hdf5Writer::State::lay_out(bool compress) {
  complex_type = H5Tcreate(H5T_COMPOUND, 2 * sizeof(float));
  H5Tinsert(complex_type, "r", 0, H5T_NATIVE_FLOAT);
  H5Tinsert(complex_type, "i", sizeof(float), H5T_NATIVE_FLOAT);
  string_type = H5Tcopy(H5T_C_S1);
  H5Tset_size(string_type, H5T_VARIABLE);
  H5Tset_cset(string_type, H5T_CSET_UTF8);
  if (fixed_length > 0) {
    const auto width = static_cast<hsize_t>(fixed_length);
    iq = column_of(file, "iq", complex_type, 2 * sizeof(float) * width, block_rows(std::max<hsize_t>(1, sample_block / width)),
                   {width}, compress);
    if (!lay_out_channel(compress)) return false;
  } else {
    iq = column_of(file, "iq", complex_type, 2 * sizeof(float), sample_block, {}, compress);
    offsets = column_of(file, "offsets", H5T_NATIVE_INT64, 8, block_rows(label_block_rows));
  }
  class_index = column_of(file, "class_index", H5T_NATIVE_INT64, 8, block_rows(label_block_rows));
  if (scenes) {
    scene = column_of(file, "scene", H5T_NATIVE_INT64, 8, block_rows(label_block_rows));
    capture_index = column_of(file, "capture_index", H5T_NATIVE_INT64, 8, block_rows(label_block_rows));
    if (scene.dataset < 0 || capture_index.dataset < 0) return false;
  }
  if (!lay_out_symbols()) return false;
  const hid_t group = H5Pcreate(H5P_GROUP_CREATE);
  H5Pset_obj_track_times(group, false);
  labels = H5Gcreate2(file, "labels", H5P_DEFAULT, group, H5P_DEFAULT);
  H5Pclose(group);
  keys = scenes ? scene_label_columns(settings) : manifest_label_columns(settings.signal_model, settings.modulations);
  place_keys();
  const auto write_names = [&](const char* key, const std::vector<std::string>& list) {
    std::vector<const char*> texts;
    for (const std::string& name : list) texts.push_back(name.c_str());
    const hsize_t count = texts.size();
    const hid_t space = H5Screate_simple(1, &count, nullptr);
    const hid_t attribute = H5Acreate2(file, key, string_type, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool written = attribute >= 0 && H5Awrite(attribute, string_type, texts.data()) >= 0;
    if (attribute >= 0) H5Aclose(attribute);
    H5Sclose(space);
    return written;
  };
  // The class names, so that class_index reads without the program; the run's own names, so that
  // a reader numbers them alike when a scene run drew a name in no capture.
  const bool named = write_names("class_names", class_names()) &&
                     (settings.modulations.empty() || write_names("run_names", settings.modulations));
  // A seeded run's seed, so that containers of shards of different runs are told apart.
  bool seeded = true;
  if (run_seed) {
    const std::int64_t value = *run_seed;
    const hid_t scalar = H5Screate(H5S_SCALAR);
    const hid_t seed = H5Acreate2(file, "run_seed", H5T_NATIVE_INT64, scalar, H5P_DEFAULT, H5P_DEFAULT);
    seeded = seed >= 0 && H5Awrite(seed, H5T_NATIVE_INT64, &value) >= 0;
    if (seed >= 0) H5Aclose(seed);
    H5Sclose(scalar);
  }
  return named && seeded && iq.dataset >= 0 && class_index.dataset >= 0 && labels >= 0 && (fixed_length > 0 || offsets.dataset >= 0);
}

Hdf5Writer::Hdf5Writer(const std::filesystem::path& path, const RunSettings& settings,
                       std::optional<std::uint32_t> run_seed, std::int64_t fixed_length, bool compress,
                       const WriteContext& write)
    : state_(std::make_unique<State>(path, settings, run_seed, fixed_length, write)) {
  State& s = *state_;
  // A file whose writes failed stays half-closed inside the library, and the library's clean-up
  // at exit would crash on it: the process ends without that clean-up (before any other call).
  static const bool no_clean_up_at_exit = H5dont_atexit() >= 0;
  (void)no_clean_up_at_exit;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are reported by the program, once
  if (saves_channel(settings) && fixed_length <= 0) {
    s.fail("--save-channel with --format hdf5 needs --samples-per-file: the channel's datasets hold one row of "
           "that length per file");
    return;
  }
  if (!s.target.is_open()) {
    s.fail(s.target.failure());
    return;
  }
  // HDF5 opens files by name only. It is handed the temporary through the descriptor that
  // created it, so it writes that very file whatever has become of its name meanwhile, and never
  // follows a link planted there.
  const std::string own = "/proc/self/fd/" + std::to_string(fileno(s.target.stream()));
  // The atomic writer already holds the temporary with a lock of its own (so that no other run
  // clears it as a leftover); HDF5's lock on its second descriptor would be refused by that one.
  const hid_t access = H5Pcreate(H5P_FILE_ACCESS);
  H5Pset_file_locking(access, false, true);
  errno = 0;
  // The root group without its creation time, as every object in the file.
  const hid_t creation = H5Pcreate(H5P_FILE_CREATE);
  H5Pset_obj_track_times(creation, false);
  s.file = H5Fcreate(own.c_str(), H5F_ACC_TRUNC, creation, access);
  H5Pclose(creation);
  H5Pclose(access);
  if (s.file < 0) {
    s.fail("cannot be created (" + write_failure(errno) + ")");
    return;
  }
  errno = 0;
  if (!s.lay_out(compress)) s.fail_write();
}

Hdf5Writer::~Hdf5Writer() {
  if (state_) state_->close_all();  // the temporary goes with its writer, unless it was put in place
}

bool Hdf5Writer::is_open() const { return state_->failure.empty(); }
const std::string& Hdf5Writer::failure() const { return state_->failure; }

bool Hdf5Writer::add(const PlannedFile& file, const ProducedFile& produced) {
  State& s = *state_;
  if (!s.failure.empty()) return false;
  if (!produced.saved) return true;  // a file that failed has no samples; its report line says why
  const auto finite = [](const std::complex<float>& x) { return std::isfinite(x.real()) && std::isfinite(x.imag()); };
  if (!std::all_of(produced.kept.begin(), produced.kept.end(), finite)) {
    return s.fail(file.modulation + " file " + std::to_string(file.index) + ": " + std::string(non_finite_sample));
  }
  errno = 0;
  const auto n = static_cast<hsize_t>(produced.kept.size());
  if (s.fixed_length > 0) {
    if (n != static_cast<hsize_t>(s.fixed_length)) return s.fail(file.modulation + " file holds a different length");
    if (!s.iq.add(produced.kept.data(), 1) || !s.add_channel(produced.channel)) return s.fail_write();
  } else {
    const std::int64_t start = s.samples_written;
    if (!s.offsets.add(&start, 1) || !s.iq.add(produced.kept.data(), n)) return s.fail_write();
    s.samples_written += static_cast<std::int64_t>(n);
  }
  if (file.scene) return s.add_emitters(file, produced) || s.fail_write();
  const std::int64_t index = static_cast<std::int64_t>(modulation_class_index(file.modulation));
  if (!s.class_index.add(&index, 1) || !s.add_symbols(produced.symbols)) return s.fail_write();
  std::vector<ParameterRow> worked_out;
  const std::vector<ParameterRow>& rows =
      produced.labels ? *produced.labels : (worked_out = file_parameters({s.settings, file, s.run_seed}));
  return s.add_row(rows, produced) || s.fail_write();
}

bool Hdf5Writer::finish() {
  State& s = *state_;
  errno = 0;
  // A column no file had a value for is still there, of its kind's type: NaN, -1 or "" in
  // every row, as the columns of files without the value hold.
  for (std::size_t k = 0; k < s.keys.size(); ++k) {
    const std::string key(s.keys[k]);
    LabelColumn& label = s.columns[s.key_slots[k]];
    if (!s.failure.empty() || label.column.dataset >= 0) continue;
    label.kind = static_cast<std::size_t>(label_column_type(key));
    label.column = s.column_of(s.labels, key.c_str(), s.type_of(label.kind), label.kind == 0 ? 0 : 8,
                               s.block_rows(label_block_rows));
    for (hsize_t row = 0; row < s.rows && label.column.dataset >= 0; ++row) label.add(std::nullopt);
    if (label.column.dataset < 0) s.fail_write();
  }
  if (s.failure.empty()) {
    for (Column* column : s.datasets()) {
      if (column->dataset >= 0 && !column->flush()) s.fail_write();
    }
    s.each_column([&s](LabelColumn& label) {
      if (s.failure.empty() && !label.column.flush()) s.fail_write();
    });
  }
  if (s.failure.empty() && H5Fflush(s.file, H5F_SCOPE_GLOBAL) < 0) s.fail_write();
  s.close_all();
  if (!s.failure.empty()) {
    s.target.discard();
    return false;
  }
  // The file HDF5 wrote is the writer's own, reached through its descriptor: the writer flushes
  // it to its storage device, closes it and renames it. A temporary removed or replaced meanwhile
  // (by hand, by another program) is a failure, never an empty or foreign container in place.
  if (!s.target.temporary().empty() && !same_file(s.target.stream(), s.target.temporary())) {
    s.target.discard();
    return s.fail("its temporary file was removed or replaced while it was written");
  }
  if (!s.target.finish()) return s.fail(s.target.failure());
  return true;
}

void Hdf5Writer::abandon() {
  state_->close_all();
  state_->target.discard();
}

#else  // built without HDF5

std::string_view hdf5_absence() {
#ifdef QUORVIN_HDF5_OFF
  return "it was built with -DQUORVIN_HDF5=OFF";
#else
  return "the HDF5 C library was not found when it was built: install it (Debian's libhdf5-dev) and build again";
#endif
}

struct Hdf5Writer::State {
  std::string failure = "this build has no HDF5 support (" + std::string(hdf5_absence()) + ")";
};

bool hdf5_available() { return false; }
Hdf5Writer::Hdf5Writer(const std::filesystem::path&, const RunSettings&, std::optional<std::uint32_t>, std::int64_t, bool,
                       const WriteContext&)
    : state_(std::make_unique<State>()) {}
Hdf5Writer::~Hdf5Writer() = default;
bool Hdf5Writer::is_open() const { return false; }
const std::string& Hdf5Writer::failure() const { return state_->failure; }
bool Hdf5Writer::add(const PlannedFile&, const ProducedFile&) { return false; }
bool Hdf5Writer::finish() { return false; }
void Hdf5Writer::abandon() {}

#endif

}  // namespace quorvin
