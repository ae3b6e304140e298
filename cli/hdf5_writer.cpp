#include "cli/hdf5_writer.h"

#include <cstdio>
#include <system_error>

#include "modulation/catalogue.h"
#include "run/parameters.h"

#ifdef QUORVIN_HDF5
#include <hdf5.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <vector>
#endif

namespace quorvin::cli {

#ifdef QUORVIN_HDF5

namespace {

// The manifest's text of a value: shortest exact decimals.
std::string text_of(const ParameterValue& value) {
  if (const double* number = std::get_if<double>(&value)) {
    if (std::isnan(*number)) return "nan";
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, *number).ptr);
  }
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  return std::get<std::string>(value);
}

// An extendible one-dimensional dataset of `type`.
hid_t make_column(hid_t parent, const char* name, hid_t type, hsize_t chunk) {
  const hsize_t dims[1] = {0};
  const hsize_t max_dims[1] = {H5S_UNLIMITED};
  const hid_t space = H5Screate_simple(1, dims, max_dims);
  const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(properties, 1, &chunk);
  const hid_t dataset = H5Dcreate2(parent, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
  H5Pclose(properties);
  H5Sclose(space);
  return dataset;
}

// Appends `count` elements along the first dimension of a dataset of `rank` 1 or 2.
bool append(hid_t dataset, hid_t type, const void* data, hsize_t count, hsize_t width) {
  const hid_t old_space = H5Dget_space(dataset);
  hsize_t dims[2] = {0, 0};
  const int rank = H5Sget_simple_extent_dims(old_space, dims, nullptr);
  H5Sclose(old_space);
  const hsize_t grown[2] = {dims[0] + count, width};
  if (H5Dset_extent(dataset, grown) < 0) return false;
  const hid_t space = H5Dget_space(dataset);
  const hsize_t start[2] = {dims[0], 0};
  const hsize_t sizes[2] = {count, width};
  H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, sizes, nullptr);
  const hid_t memory = H5Screate_simple(rank, sizes, nullptr);
  const herr_t written = H5Dwrite(dataset, type, memory, space, H5P_DEFAULT, data);
  H5Sclose(memory);
  H5Sclose(space);
  return written >= 0;
}

// A label column takes the type of its first value: text, a real number or a whole number. Rows
// without a value (a symbol rate of an analog file) hold NaN, -1 or "". The column is made at its
// first value and filled back for the rows before it.
struct LabelColumn {
  hid_t dataset = -1;
  std::size_t kind = 0;  // the ParameterValue alternative
};

// The cell of `value` in a column of `kind`, or its empty cell when absent.
struct Cell {
  std::string text;
  double real = std::numeric_limits<double>::quiet_NaN();
  std::int64_t whole = -1;
};

static_assert(std::is_same_v<std::variant_alternative_t<0, ParameterValue>, std::string> &&
              std::is_same_v<std::variant_alternative_t<1, ParameterValue>, double>);

Cell cell_of(const std::optional<ParameterValue>& value, std::size_t kind) {
  Cell cell;
  if (!value) return cell;
  if (kind == 0) cell.text = text_of(*value);
  if (const double* number = std::get_if<double>(&*value)) cell.real = *number;
  if (const std::int64_t* whole = std::get_if<std::int64_t>(&*value)) {
    cell.whole = *whole;
    cell.real = static_cast<double>(*whole);
  }
  return cell;
}

}  // namespace

struct Hdf5Writer::State {
  std::filesystem::path path;
  std::filesystem::path temporary;
  const RunSettings& settings;
  std::optional<std::uint32_t> run_seed;
  std::int64_t fixed_length;
  std::string failure;
  hid_t file = -1;
  hid_t complex_type = -1;
  hid_t string_type = -1;
  hid_t iq = -1;
  hid_t offsets = -1;
  hid_t class_index = -1;
  hid_t labels = -1;
  std::vector<std::string> keys;  // the manifest's columns, in its order
  std::map<std::string, LabelColumn> columns;
  hsize_t rows = 0;  // label rows written
  std::int64_t samples_written = 0;

  FileSync sync = nullptr;

  State(const std::filesystem::path& target, const RunSettings& s, std::optional<std::uint32_t> seed,
        std::int64_t length, FileSync file_sync)
      : path(target), temporary(target.string() + ".partial"), settings(s), run_seed(seed), fixed_length(length),
        sync(file_sync) {}

  hid_t type_of(std::size_t kind) const {
    return kind == 0 ? string_type : kind == 1 ? H5T_NATIVE_DOUBLE : H5T_NATIVE_INT64;
  }

  bool write_cells(const LabelColumn& column, const Cell& cell, hsize_t count) {
    if (column.kind == 0) {
      const std::vector<const char*> pointers(count, cell.text.c_str());
      return append(column.dataset, string_type, pointers.data(), count, 0);
    }
    if (column.kind == 1) return append(column.dataset, H5T_NATIVE_DOUBLE, std::vector<double>(count, cell.real).data(), count, 0);
    return append(column.dataset, H5T_NATIVE_INT64, std::vector<std::int64_t>(count, cell.whole).data(), count, 0);
  }

  // This row's cell of `key`; a column is made at its first value, with the earlier rows empty.
  bool add_cell(const std::string& key, const std::optional<ParameterValue>& value) {
    LabelColumn& column = columns[key];
    if (column.dataset < 0) {
      if (!value) return true;
      column.kind = value->index();
      column.dataset = make_column(labels, key.c_str(), type_of(column.kind), 256);
      if (column.dataset < 0 || (rows > 0 && !write_cells(column, cell_of(std::nullopt, column.kind), rows))) return false;
    }
    return write_cells(column, cell_of(value, column.kind), 1);
  }

  bool fail(const std::string& why) {
    if (failure.empty()) failure = why;
    return false;
  }
  void close_all() {
    for (auto& [key, column] : columns) {
      if (column.dataset >= 0) H5Dclose(column.dataset);
    }
    columns.clear();
    for (hid_t* handle : {&iq, &offsets, &class_index}) {
      if (*handle >= 0) H5Dclose(*handle);
      *handle = -1;
    }
    if (labels >= 0) H5Gclose(labels);
    if (complex_type >= 0) H5Tclose(complex_type);
    if (string_type >= 0) H5Tclose(string_type);
    if (file >= 0) H5Fclose(file);
    labels = complex_type = string_type = file = -1;
  }
};

bool hdf5_available() { return true; }

Hdf5Writer::Hdf5Writer(const std::filesystem::path& path, const RunSettings& settings,
                       std::optional<std::uint32_t> run_seed, std::int64_t fixed_length, bool compress, FileSync sync)
    : state_(std::make_unique<State>(path, settings, run_seed, fixed_length, sync)) {
  State& s = *state_;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are reported by the program, once
  s.file = H5Fcreate(s.temporary.string().c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  if (s.file < 0) {
    s.fail("cannot create " + s.temporary.string());
    return;
  }
  s.complex_type = H5Tcreate(H5T_COMPOUND, 2 * sizeof(float));
  H5Tinsert(s.complex_type, "r", 0, H5T_NATIVE_FLOAT);
  H5Tinsert(s.complex_type, "i", sizeof(float), H5T_NATIVE_FLOAT);
  s.string_type = H5Tcopy(H5T_C_S1);
  H5Tset_size(s.string_type, H5T_VARIABLE);
  H5Tset_cset(s.string_type, H5T_CSET_UTF8);
  const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
  if (fixed_length > 0) {
    const auto width = static_cast<hsize_t>(fixed_length);
    const hsize_t dims[2] = {0, width};
    const hsize_t max_dims[2] = {H5S_UNLIMITED, width};
    const hsize_t chunk[2] = {std::max<hsize_t>(1, 65536 / width), width};
    H5Pset_chunk(properties, 2, chunk);
    if (compress) H5Pset_deflate(properties, 4);
    const hid_t space = H5Screate_simple(2, dims, max_dims);
    s.iq = H5Dcreate2(s.file, "iq", s.complex_type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Sclose(space);
  } else {
    const hsize_t chunk = 65536;
    H5Pset_chunk(properties, 1, &chunk);
    if (compress) H5Pset_deflate(properties, 4);
    const hsize_t dims[1] = {0};
    const hsize_t max_dims[1] = {H5S_UNLIMITED};
    const hid_t space = H5Screate_simple(1, dims, max_dims);
    s.iq = H5Dcreate2(s.file, "iq", s.complex_type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Sclose(space);
    s.offsets = make_column(s.file, "offsets", H5T_NATIVE_INT64, 4096);
  }
  H5Pclose(properties);
  s.class_index = make_column(s.file, "class_index", H5T_NATIVE_INT64, 4096);
  s.labels = H5Gcreate2(s.file, "labels", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  for (const ManifestPlace place : {ManifestPlace::leading, ManifestPlace::trailing}) {
    for (const std::string_view key : manifest_columns(place, settings.signal_model)) s.keys.emplace_back(key);
    if (place == ManifestPlace::leading) s.keys.insert(s.keys.end(), {"num_samples", "saved"});
  }
  // The class names, so that class_index reads without the program.
  std::vector<std::string> owned;
  for (const ModulationRow& row : modulation_catalogue) owned.emplace_back(row.name);
  std::vector<const char*> pointers;
  for (const std::string& name : owned) pointers.push_back(name.c_str());
  const hsize_t count = pointers.size();
  const hid_t space = H5Screate_simple(1, &count, nullptr);
  const hid_t attribute = H5Acreate2(s.file, "class_names", s.string_type, space, H5P_DEFAULT, H5P_DEFAULT);
  H5Awrite(attribute, s.string_type, pointers.data());
  H5Aclose(attribute);
  H5Sclose(space);
  if (s.iq < 0 || s.class_index < 0 || s.labels < 0) s.fail("cannot lay out " + s.temporary.string());
}

Hdf5Writer::~Hdf5Writer() {
  if (!state_) return;
  state_->close_all();
  std::error_code ignored;
  std::filesystem::remove(state_->temporary, ignored);  // still there only when not finished
}

bool Hdf5Writer::is_open() const { return state_->failure.empty(); }
const std::string& Hdf5Writer::failure() const { return state_->failure; }

bool Hdf5Writer::add(const PlannedFile& file, const ProducedFile& produced) {
  State& s = *state_;
  if (!s.failure.empty()) return false;
  if (produced.saved) {
    const auto n = static_cast<hsize_t>(produced.kept.size());
    if (s.fixed_length > 0) {
      if (n != static_cast<hsize_t>(s.fixed_length)) return s.fail(file.modulation + " file holds a different length");
      if (!append(s.iq, s.complex_type, produced.kept.data(), 1, n)) return s.fail("cannot write " + s.temporary.string());
    } else {
      const std::int64_t start = s.samples_written;
      if (!append(s.offsets, H5T_NATIVE_INT64, &start, 1, 0)) return s.fail("cannot write " + s.temporary.string());
      if (n != 0 && !append(s.iq, s.complex_type, produced.kept.data(), n, 0)) {
        return s.fail("cannot write " + s.temporary.string());
      }
      s.samples_written += static_cast<std::int64_t>(n);
    }
  } else {
    return true;  // a file that failed has no samples; its report line says why
  }
  const std::int64_t index = static_cast<std::int64_t>(modulation_class_index(file.modulation));
  append(s.class_index, H5T_NATIVE_INT64, &index, 1, 0);
  std::map<std::string, ParameterValue> values;
  for (ParameterRow& row : file_parameters({s.settings, file, s.run_seed})) values[std::string(row.kind->key)] = std::move(row.value);
  values["num_samples"] = static_cast<std::int64_t>(produced.samples);
  values["saved"] = std::int64_t{1};
  for (const std::string& key : s.keys) {
    const auto found = values.find(key);
    const std::optional<ParameterValue> value =
        found == values.end() ? std::nullopt : std::optional<ParameterValue>(found->second);
    if (!s.add_cell(key, value)) return s.fail("cannot write " + s.temporary.string());
  }
  ++s.rows;
  return true;
}

bool Hdf5Writer::finish() {
  State& s = *state_;
  // A column no file had a value for is still there, as empty text, like the manifest's.
  for (const std::string& key : s.keys) {
    if (s.failure.empty() && s.columns[key].dataset < 0) {
      LabelColumn& column = s.columns[key];
      column.dataset = make_column(s.labels, key.c_str(), s.string_type, 256);
      if (column.dataset < 0 || (s.rows > 0 && !s.write_cells(column, Cell{}, s.rows))) s.fail("cannot write " + s.temporary.string());
    }
  }
  const bool flushed = s.failure.empty() && s.file >= 0 && H5Fflush(s.file, H5F_SCOPE_GLOBAL) >= 0;
  s.close_all();
  if (!flushed) return s.fail("cannot write " + s.temporary.string());
  // On the storage before the rename, so that the final name never holds a container a crash of
  // the machine could still lose. HDF5 has closed its own handle; a second one reaches the file.
  if (s.sync != nullptr) {
    std::FILE* written = std::fopen(s.temporary.string().c_str(), "ab");
    const bool synced = written != nullptr && s.sync(written);
    if (written != nullptr) std::fclose(written);
    if (!synced) return s.fail("cannot flush " + s.temporary.string() + " to its storage device");
  }
  std::error_code error;
  std::filesystem::rename(s.temporary, s.path, error);
  if (error) return s.fail(error.message());
  return true;
}

#else  // built without HDF5

struct Hdf5Writer::State {
  std::string failure = "this build of quorvin-cli has no HDF5 support (the library was not found when it was built)";
};

bool hdf5_available() { return false; }
Hdf5Writer::Hdf5Writer(const std::filesystem::path&, const RunSettings&, std::optional<std::uint32_t>, std::int64_t, bool,
                       FileSync)
    : state_(std::make_unique<State>()) {}
Hdf5Writer::~Hdf5Writer() = default;
bool Hdf5Writer::is_open() const { return false; }
const std::string& Hdf5Writer::failure() const { return state_->failure; }
bool Hdf5Writer::add(const PlannedFile&, const ProducedFile&) { return false; }
bool Hdf5Writer::finish() { return false; }

#endif

}  // namespace quorvin::cli
