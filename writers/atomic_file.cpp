#include "writers/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#include "common/splitmix.h"

namespace quorvin {
namespace {

constexpr std::string_view temporary_prefix = ".qv-";
constexpr std::string_view temporary_suffix = ".partial";
constexpr std::size_t temporary_name_length = 20;
constexpr std::size_t nonce_digits = 7;  // after the platform's letter
// The letter naming the platform whose writers made a temporary. Each platform proves its own
// writers gone in its own way (a POSIX writer holds an flock, a Windows one keeps its file open,
// which forbids deleting it), and neither sees the other's: a Windows program under Wine and a
// Linux one writing into one folder would each take the other's live temporaries for leftovers.
constexpr char posix_letter = 'p';
constexpr char windows_letter = 'w';
#ifdef _WIN32
constexpr char platform_letter = windows_letter;
#else
constexpr char platform_letter = posix_letter;
#endif

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Sets being put in place now (sets_being_placed).
std::atomic<unsigned> sets_in_placement{0};

// The system's words for an errno value; a generic text when the library left none.
std::string system_text(int error_number, std::string_view otherwise) {
  return error_number != 0 ? std::generic_category().message(error_number) : std::string(otherwise);
}

enum class OpenMode { append, truncate, create_new };

// Exclusive creation ("x": O_CREAT | O_EXCL): an existing name, a leftover temporary or another
// process's, is then never truncated. The msvcrt.dll that MinGW links by default knows no "x" (its
// later versions take an unknown mode letter for an invalid argument); there the nonces alone keep
// the names apart. The Universal CRT knows it.
#if defined(_WIN32) && !defined(_UCRT) && !defined(_MSC_VER)
constexpr bool exclusive_create = false;
#else
constexpr bool exclusive_create = true;
#endif

struct Opened {
  std::FILE* file;
  int error;  // errno of a failed open
};

// Binary, so that the bytes are the same everywhere; unbuffered, since the writer batches the
// text into large writes itself. C's stdio rather than a stream, whose descriptor is out of reach,
// so that the disk flush acts on the file that was written.
Opened open_for_writing(const std::filesystem::path& path, OpenMode mode) {
  const int index = mode == OpenMode::append ? 0 : (mode == OpenMode::create_new && exclusive_create) ? 2 : 1;
  errno = 0;
#ifdef _WIN32
  // Windows names are UTF-16; fopen would take them in the system's code page.
  static constexpr const wchar_t* modes[] = {L"ab", L"wb", L"wbx"};
  std::FILE* file = _wfopen(path.c_str(), modes[index]);
#else
  static constexpr const char* modes[] = {"ab", "wb", "wbx"};
  std::FILE* file = std::fopen(path.c_str(), modes[index]);
#endif
  if (file == nullptr) return {nullptr, errno};
  std::setvbuf(file, nullptr, _IONBF, 0);
  return {file, 0};
}

// Nonces count up from a random base: the temporaries of one process never share a name (2^28 of
// them, as the name keeps the low 28 bits), and another process, counting from its own base,
// meets these names only when the two bases lie within a run's length of each other, and then
// for different files at different times.
// A name is never looked up before it is taken: on some systems each look at a missing name reads
// the whole folder.
std::uint32_t next_nonce() {
  static const auto base = static_cast<std::uint32_t>([] {
    std::random_device device;
    return splitmix64((std::uint64_t{device()} << 32) ^ device() ^
                      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  }());
  static std::atomic<std::uint32_t> counter{0};
  return base + counter.fetch_add(1);
}

enum class TargetKind { refused, absent, regular, device };

struct Target {
  TargetKind kind;
  std::string refusal;                // why, for a refused one
  std::filesystem::perms permissions{};  // of a regular file
};

// What `status` says stands at the final name, and whether this user could write it. Only regular
// files and character devices are ever opened: opening a FIFO blocks until a reader comes.
Target classify(const std::filesystem::path& target, const std::filesystem::file_status& status,
                const std::error_code& error) {
  using std::filesystem::file_type;
  switch (status.type()) {
    case file_type::not_found: return {TargetKind::absent, {}};
    case file_type::directory: return {TargetKind::refused, system_text(EISDIR, "")};
    case file_type::regular:
    case file_type::character: break;
    default:
      return {TargetKind::refused, error ? error.message() : std::string("not a regular file or device")};
  }
  // A read-only file (no write permission for anyone; on Windows the read-only attribute) is
  // refused even where the system would let this user write it (root, Wine), as it is for
  // everyone else.
  using std::filesystem::perms;
  if (status.type() == file_type::regular &&
      (status.permissions() & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none) {
    return {TargetKind::refused, system_text(EACCES, "")};
  }
  // Opening it to append changes nothing and asks the system rather than guessing from mode bits
  // (a rename over a read-only file would succeed).
  const Opened probe = open_for_writing(target, OpenMode::append);
  if (probe.file == nullptr) return {TargetKind::refused, system_text(probe.error, "cannot be opened for writing")};
  std::fclose(probe.file);
  if (status.type() == file_type::character) return {TargetKind::device, {}};
  return {TargetKind::regular, {}, status.permissions()};
}

// classify() for a final name whose links were already followed.
Target look_at(const std::filesystem::path& target) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target, error);
  return classify(target, status, error);
}

// Where a write through `path` lands, the file a symbolic link names, is left in `path`; one look
// at the name serves both questions unless it is a link.
Target follow_and_look_at(std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (!std::filesystem::is_symlink(status)) return classify(path, status, error);
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (!error) path = std::move(resolved);
  return look_at(path);
}

// C's rename for a final name that was free, where the path is plain ASCII; false when it did not
// happen (std::filesystem's rename then tries, and says why). On Windows std::filesystem's rename
// asks for the target's status before it moves the file, another look at a missing name (each
// reads the whole folder under Wine); C's rename does not, and there it refuses to replace a file
// that appeared meanwhile, which the fallback then replaces as usual. C's rename takes narrow
// names, in the system's code page on Windows: ASCII means the same in every one.
bool rename_to_free_name(const std::filesystem::path& from, const std::filesystem::path& to) {
  const auto ascii = [](const std::filesystem::path& path) {
    const auto& text = path.native();
    return std::all_of(text.begin(), text.end(), [](auto c) { return c > 0 && c < 0x80; });
  };
  return ascii(from) && ascii(to) && std::rename(from.string().c_str(), to.string().c_str()) == 0;
}

}  // namespace

std::filesystem::path temporary_file_path(const std::filesystem::path& target, std::uint32_t nonce) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string name(temporary_prefix);
  name += platform_letter;
  for (int shift = 4 * (nonce_digits - 1); shift >= 0; shift -= 4) name += hex[(nonce >> shift) & 0xF];
  name += temporary_suffix;
  return target.parent_path() / name;
}

TemporaryOwner temporary_owner(std::string_view name) {
  if (name.size() != temporary_name_length || !name.starts_with(temporary_prefix) || !name.ends_with(temporary_suffix)) {
    return TemporaryOwner::none;
  }
  const std::string_view middle = name.substr(temporary_prefix.size(), nonce_digits + 1);
  if (!std::all_of(middle.begin() + 1, middle.end(), is_hex_digit)) return TemporaryOwner::none;
  if (middle.front() == platform_letter) return TemporaryOwner::this_platform;
  if (middle.front() == posix_letter || middle.front() == windows_letter) return TemporaryOwner::other_platform;
  return is_hex_digit(middle.front()) ? TemporaryOwner::unknown : TemporaryOwner::none;
}

bool is_temporary_file_name(std::string_view name) { return temporary_owner(name) != TemporaryOwner::none; }

std::size_t remove_stale_temporaries(const std::filesystem::path& folder, const WriteContext& context) {
  if (context.remove_stale == nullptr) return 0;
  std::size_t removed = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    // Compared in the native characters first: a name that is not ASCII is none of ours and may
    // not convert.
    const std::filesystem::path file_name = entry->path().filename();
    const auto& name = file_name.native();
    if (name.size() != temporary_name_length ||
        !std::all_of(name.begin(), name.end(), [](auto c) { return c > 0 && c < 0x80; })) {
      continue;
    }
    const TemporaryOwner owner = temporary_owner(file_name.string());
    if (owner == TemporaryOwner::none) continue;
    if (owner != TemporaryOwner::this_platform) {
      // Its writer may live, holding it in a way this platform cannot see: only a temporary
      // nobody has written for long is a leftover. A time in the future (another machine's
      // clock) is young.
      std::error_code unknown;
      const auto written = std::filesystem::last_write_time(entry->path(), unknown);
      if (unknown || std::filesystem::file_time_type::clock::now() - written < stale_temporary_age) continue;
    }
    if (context.remove_stale(entry->path())) ++removed;
  }
  return removed;
}


AtomicFileWriter::AtomicFileWriter(std::filesystem::path path, const WriteContext& context, FinalName final_name)
    : context_(context), target_(std::move(path)) {
  Target target{TargetKind::absent, {}};
  if (final_name == FinalName::unknown) target = follow_and_look_at(target_);
  if (target.kind == TargetKind::refused) {
    failure_ = target.refusal;
    return;
  }
  name_was_free_ = target.kind == TargetKind::absent;
  Opened opened{nullptr, 0};
  if (target.kind == TargetKind::device) {
    opened = open_for_writing(target_, OpenMode::truncate);
  } else {
    for (int attempt = 0; attempt < 16 && opened.file == nullptr; ++attempt) {
      temporary_ = temporary_file_path(target_, next_nonce());
      opened = open_for_writing(temporary_, OpenMode::create_new);
      if (opened.file == nullptr && opened.error != EEXIST) break;  // the folder refuses new files
      // Another run clearing leftovers took the new file before it was held: a name of its own.
      if (opened.file != nullptr && context_.hold != nullptr && !context_.hold(opened.file, temporary_)) {
        std::fclose(opened.file);
        opened = {nullptr, EEXIST};
      }
    }
    if (opened.file == nullptr) {
      temporary_.clear();
    } else if (target.kind == TargetKind::regular) {
      // The replaced file's mode carries over. On Windows a read-only temporary could not be
      // removed, so there the owner keeps write access (a read-only target is refused anyway).
      std::filesystem::perms permissions = target.permissions;
#ifdef _WIN32
      permissions |= std::filesystem::perms::owner_write;
#endif
      std::error_code ignored;
      std::filesystem::permissions(temporary_, permissions, std::filesystem::perm_options::replace, ignored);
    }
  }
  file_ = opened.file;
  open_ = file_ != nullptr;
  if (!open_) failure_ = system_text(opened.error, "cannot be created");
}

AtomicFileWriter::AtomicFileWriter(std::filesystem::path path, EarlierOnly)
    : target_(std::move(path)), earlier_only_(true) {}

AtomicFileWriter::~AtomicFileWriter() {
  if (!placed_) discard();
}

void AtomicFileWriter::flush() {
  if (context_.abandon.stop_requested()) failed_ = true;
  if (digest_ && !failed_) digest_->add(buffer_);
  for (std::size_t written = 0; !failed_ && written < buffer_.size();) {
    errno = 0;
    written += std::fwrite(buffer_.data() + written, 1, buffer_.size() - written, file_);
    if (written == buffer_.size()) break;
    if (errno == EINTR) {
      std::clearerr(file_);  // a signal handler cut the write short; the rest follows
    } else {
      failed_ = true;
      write_error_ = errno;
    }
  }
  buffer_.clear();
}

void AtomicFileWriter::fail(std::string reason) {
  if (failure_.empty()) failure_ = std::move(reason);
  discard();
}

bool AtomicFileWriter::close_file() {
  const bool closed = file_ == nullptr || std::fclose(file_) == 0;
  file_ = nullptr;
  return closed;
}

void AtomicFileWriter::discard() {
  open_ = false;
  complete_ = false;
#ifdef _WIN32
  close_file();  // Windows removes no open file
#endif
  // Only ever the temporary file: a device written in place, or an earlier file, stays. Elsewhere
  // it is removed while still open, and so held: no other run takes it meanwhile.
  if (!temporary_.empty()) {
    std::error_code error;
    // Not where it was made: the folder was moved away (or the file removed) meanwhile.
    if (!std::filesystem::remove(temporary_, error) && !error) leftover_ = temporary_;
    temporary_.clear();
  }
  close_file();
}

bool AtomicFileWriter::complete() {
  if (!is_open()) return complete_;
  flush();
  // On the storage before the rename, so that the final name never points at data that a crash of
  // the machine could still lose, and so that errors the device reports late are seen. Not for a
  // file that failed or was abandoned (flush() saw the interrupt), nor for a device.
  const bool synced = failed_ || temporary_.empty() || context_.sync == nullptr || context_.sync(file_);
  // Writes are unbuffered, so the system has every byte. A temporary stays open, and so held,
  // until it is put in place; a device is done with.
  errno = 0;
  const bool closed = !temporary_.empty() || close_file();
  const int close_error = errno;
  open_ = false;
  if (context_.abandon.stop_requested()) {
    fail("abandoned after an interrupt");
  } else if (failed_ || !closed) {
    fail(system_text(write_error_ != 0 ? write_error_ : close_error, "could not be written completely"));
  } else if (!synced) {
    fail("could not be flushed to its storage device");
  } else {
    complete_ = true;
  }
  return complete_;
}

std::string AtomicFileWriter::digest_hex() const {
  if (!digest_) return {};
  Sha512 done = *digest_;  // a copy: finishing a digest ends it
  return done.hex();
}

bool AtomicFileWriter::put_in_place() {
  if (complete_ && !placed_ && !temporary_.empty() && abandon_requested()) {
    fail("abandoned after an interrupt");
    return false;
  }
  return rename_into_place();
}

bool AtomicFileWriter::rename_into_place() {
  if (!complete_ || placed_) return placed_;
  if (temporary_.empty()) return placed_ = true;  // a device, written in place
  // An earlier file may have become a folder or a read-only file meanwhile. A name that was free
  // is not looked at again: the rename fails on a folder that appeared since, and the look after
  // the failure words it as a refusal would have been.
  if (!name_was_free_ && looked_ == Look::none) look_before_placing();
  if (looked_ == Look::kept || looked_ == Look::refused) {
    fail(refusal_);
    return false;
  }
#ifdef _WIN32
  // Windows renames no open file. Elsewhere it is closed after the rename, held to the last.
  if (!close_file()) {
    fail("could not be written completely");
    return false;
  }
#endif
  std::error_code error;
  if (!name_was_free_ || !rename_to_free_name(temporary_, target_)) {
    std::filesystem::rename(temporary_, target_, error);  // replaces an earlier file
  }
  if (error) {
    const Target target = name_was_free_ ? look_at(target_) : Target{TargetKind::absent, {}};
    fail(target.kind == TargetKind::refused ? target.refusal : error.message());
    return false;
  }
  temporary_.clear();
  close_file();  // every byte was written and flushed: a late error here changes nothing
  renamed_ = true;
  return placed_ = true;
}

bool AtomicFileWriter::look_before_placing() {
  if (name_was_free_ && !earlier_only_) {
    looked_ = Look::clear;  // a free name is not looked at again
    return true;
  }
  // A writer of no file was never looked at: a link at its name is followed here.
  const Target target = earlier_only_ ? follow_and_look_at(target_) : look_at(target_);
  refusal_ = target.refusal;
  if (target.kind != TargetKind::refused) {
    looked_ = target.kind == TargetKind::regular ? Look::earlier_file : Look::clear;
    return true;
  }
  // A regular file this user may not write stays where it is, and so must the file it belongs
  // to; anything else there (a folder) is no companion of anything.
  std::error_code ignored;
  looked_ = std::filesystem::is_regular_file(target_, ignored) ? Look::kept : Look::refused;
  if (failure_.empty()) failure_ = refusal_;
  return false;
}

void AtomicFileWriter::withdraw() {
  if (!renamed_) return;
  std::error_code ignored;
  std::filesystem::remove(target_, ignored);
  placed_ = renamed_ = false;
}

bool AtomicFileWriter::remove_earlier() {
  if (name_was_free_ && !earlier_only_) return true;  // nothing stood there when this file was begun
  if (looked_ == Look::none) look_before_placing();
  if (looked_ == Look::kept) return false;
  if (looked_ != Look::earlier_file) return true;
  std::error_code error;
  std::filesystem::remove(target_, error);
  if (error && failure_.empty()) failure_ = "the earlier file could not be removed (" + error.message() + ")";
  return !error;
}

bool put_in_place_together(AtomicFileWriter& primary, std::span<const Companion> companions) {
  // Counted before the abandon request is looked at: once a front end that requested it sees no
  // set counted, every later set sees the request and changes nothing.
  ++sets_in_placement;
  struct Placed {
    ~Placed() { --sets_in_placement; }
  } counted;
  const auto discard_all = [&] {
    primary.discard();
    for (const Companion& c : companions) c.writer.discard();
    return false;
  };
  if (!primary.is_complete()) return discard_all();
  for (const Companion& c : companions) {
    if (c.required && !c.writer.is_complete()) return discard_all();
  }
  // Every look first: each opens the file it looks at, which fails when descriptors run out, and
  // nothing earlier may be gone by then. A companion that must stay (read-only), or a required
  // one that cannot be placed, keeps the whole earlier set.
  if (!primary.look_before_placing()) return discard_all();
  for (const Companion& c : companions) {
    if (!c.writer.look_before_placing() && (c.required || c.writer.keeps_earlier())) return discard_all();
  }
  // The last moment the files may be abandoned: the set is then given up whole, before anything
  // earlier is removed. From the first change on it is finished whatever is requested meanwhile,
  // so the earlier set is never left in part.
  const auto abandoned = [](const AtomicFileWriter& w) { return w.is_complete() && w.abandon_requested(); };
  if (abandoned(primary) ||
      std::any_of(companions.begin(), companions.end(), [&](const Companion& c) { return abandoned(c.writer); })) {
    const auto give_up = [](AtomicFileWriter& w) {
      if (w.is_complete()) w.fail("abandoned after an interrupt");
    };
    give_up(primary);
    for (const Companion& c : companions) give_up(c.writer);
    return discard_all();
  }
  // Every earlier companion goes before the new file arrives, so a kill from here on leaves at
  // worst the earlier or the new file without a companion, never one beside another's. The
  // optional ones go first: a required one that cannot be removed then leaves the earlier pair.
  for (const bool required : {false, true}) {
    for (const Companion& c : companions) {
      if (c.required == required && !c.writer.remove_earlier()) return discard_all();
    }
  }
  if (!primary.rename_into_place()) return discard_all();
  for (const Companion& c : companions) {
    if (!c.writer.rename_into_place() && c.required) {
      primary.withdraw();
      return discard_all();
    }
  }
  return true;
}

unsigned sets_being_placed() { return sets_in_placement.load(); }

}  // namespace quorvin
