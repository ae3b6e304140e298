#pragma once
// Writing a whole output file so that its final name only ever holds a complete file.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/sha512.h"

namespace quorvin {

// The temporary name a file is written under before it is renamed to `target`: in the same
// folder, ".qv-<platform letter><nonce's low 28 bits as 7 hex digits>.partial" ('p' from a POSIX
// build, 'w' from a Windows one, native or under Wine), 20 characters whatever the final name, so
// a temporary fits wherever its final path does (Windows' 260-character paths included). A
// leftover one means a process was killed while writing it; it is never a result.
std::filesystem::path temporary_file_path(const std::filesystem::path& target, std::uint32_t nonce);

// Whose temporary a file name is, as far as a run clearing leftovers can tell.
enum class TemporaryOwner {
  none,            // not a temporary's name
  this_platform,   // a writer of this platform, which holds its temporary while it lives
  other_platform,  // a writer of the other platform, whose hold this one cannot see
  unknown,         // an earlier version's ".qv-<8 hex digits>.partial": its platform is not told
};
TemporaryOwner temporary_owner(std::string_view file_name);

// True for a temporary's file name: temporary_file_path's, another platform's or an earlier
// version's.
bool is_temporary_file_name(std::string_view file_name);

// How long a temporary whose writer's death cannot be proven (another platform's, an earlier
// version's) must have gone unwritten before a run clears it: a live writer writes its temporary
// as it goes, and waits on none for more than moments.
inline constexpr std::chrono::hours stale_temporary_age{24 * 7};

// Flushes what was written through an open file to its storage device, before the file is
// closed; false when the device reports an error.
using FileSync = bool (*)(std::FILE* file);

// Marks the temporary `file`, just created at `path`, as held by a live writer for as long as it
// stays open; false when `path` no longer names it (another run's clearing took it first).
using TemporaryHold = bool (*)(std::FILE* file, const std::filesystem::path& path);

// Removes the leftover temporary at `path` when no live writer holds it; true when removed.
using StaleRemoval = bool (*)(const std::filesystem::path& path);

// What the files of a run are written with, handed down by the front end.
struct WriteContext {
  // The standard library has no disk flush, so a front end hands in its platform's; without
  // one, files are renamed into place once the system has accepted every byte. It is handed the
  // file that was written, still open: opening it again by name would cost two more calls.
  FileSync sync = nullptr;
  // Once requested, each writer gives up at its next write or before its rename: the temporary
  // file is removed and the final name left as it was (a second interrupt abandons the files
  // in flight).
  std::stop_token abandon;
  // A killed run leaves its temporaries behind. A writer marks each of its own as held (until it
  // is renamed or removed), and a run clears the unheld ones it finds in its folder; without
  // these, temporaries are neither marked nor cleared.
  TemporaryHold hold = nullptr;
  StaleRemoval remove_stale = nullptr;
};

// Removes the leftover temporaries in `folder`, through context.remove_stale (which leaves those a
// live writer holds): this platform's, whose writers are provably gone once unheld, and any other
// (another platform's, an earlier version's) only once unwritten for stale_temporary_age, since
// its writer may live and hold it in a way this platform cannot see. Returns how many went.
// The one rule for every front end: the command line, the desktop program, the Python package.
std::size_t remove_stale_temporaries(const std::filesystem::path& folder, const WriteContext& context);

// What the caller knows of a file's final name before the file is written.
enum class FinalName {
  unknown,  // the writer looks: it follows a link and refuses a folder, a read-only file (one
            // without write permission, for every user: root and Windows alike), a FIFO
  free,     // nothing stood there when the run began (its folder was listed once): the file is
            // created and renamed into place without a look at the name, which on some systems
            // reads the whole folder each time
};

struct Companion;

// Collects text in a large buffer and writes it out in few large writes (binary, so the bytes
// are the same on every platform), replacing `path` only when everything was written:
// - a regular file (or none yet) is written to a temporary file beside it (temporary_file_path),
//   flushed to the disk (see WriteContext), closed and renamed over the final name (a replacing
//   rename on Windows too), keeping the permissions of the file it replaces. On any failure the
//   temporary file is removed and an earlier file of that name is left intact. Beyond its writes
//   and the flush, a file whose final name is free costs three file-system calls: the
//   temporary's open and close, and the rename (a name that is looked at adds those looks);
// - a symbolic link is followed: the file it names is replaced, the link stays;
// - a character device (/dev/null, /dev/full) is written in place, nothing renamed or removed;
// - a folder, a file the user may not write or that is read-only (no write permission bits, the
//   Windows read-only attribute), a folder that does not exist, and anything else
//   (a FIFO, a socket), which opening could block on, are refused at once (is_open() is false),
//   and no folder is ever created.
// A final name that was free when the writer was made (FinalName::free, or nothing there when the
// writer looked) is not looked at again: what appeared there meanwhile is replaced, or, when it
// cannot be (a folder), refused in the same words as before writing.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::filesystem::path path, const WriteContext& context = {},
                            FinalName final_name = FinalName::unknown);
  // A writer of no file, for an earlier file at `path` that must go with the set it joins (a
  // settings file beside a sample file that is replaced by a run writing none). It is never open
  // or complete and never placed; its remove_earlier() removes what stands there.
  struct EarlierOnly {};
  AtomicFileWriter(std::filesystem::path path, EarlierOnly);
  ~AtomicFileWriter();  // discards a file that was not put in place
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool is_open() const { return open_; }

  // Appends text; writes the buffer out when it is full. Does nothing once the file failed.
  void append(std::string_view text) {
    if (!open_) return;
    // The whole buffer only for large files: a settings file or metadata stays small.
    if (buffer_.size() + text.size() > small_file_size && buffer_.capacity() < flush_size) buffer_.reserve(flush_size + 256);
    buffer_.append(text);
    if (buffer_.size() >= flush_size) flush();
  }

  // Keeps a SHA-512 digest of the bytes as they go out, in order, so that none is read back for
  // it; call before the first append.
  void keep_digest() { digest_.emplace(); }
  // After complete(): the 128 hexadecimal digits of the file's digest; empty without keep_digest().
  std::string digest_hex() const;

  // The open temporary file (a device written in place: the device), for a library that writes
  // the file itself through a descriptor of its own (the HDF5 container); null once closed.
  std::FILE* stream() const { return file_; }
  // The temporary file's name; empty for a device written in place and once put in place or discarded.
  const std::filesystem::path& temporary() const { return temporary_; }

  // Writes what is left and flushes the file to storage, still under its temporary name (kept
  // open, and so held, until it is put in place); true only when every byte reached the file.
  bool complete();
  bool is_complete() const { return complete_; }

  // Puts a completed file under its final name, unless the files were abandoned meanwhile; true
  // when it is there.
  bool put_in_place();
  bool is_placed() const { return placed_; }

  // complete() then put_in_place().
  bool finish() { return complete() && put_in_place(); }

  // Looks at the final name once more, just before the file is put in place; false (failure()
  // says why) when it could not be put there: a folder, a read-only file. The look opens the
  // file, so it can fail when descriptors run out: put_in_place_together makes every look before
  // it removes anything. remove_earlier() and put_in_place() then rely on it.
  bool look_before_placing();
  // After look_before_placing(): an earlier file stands there that must stay (read-only), so the
  // set it belongs to cannot be replaced.
  bool keeps_earlier() const { return looked_ == Look::kept; }

  // Removes the earlier file at the final name, where this file would replace it (a regular
  // file this user may write); true when no regular file is left there (false for one this user
  // may not write, which stays).
  bool remove_earlier();

  // Discards the file: the temporary file is removed, the final name left as it was.
  void discard();

  // Removes the file that put_in_place() renamed into place (never a device written in place).
  void withdraw();

  // Why the file could not be written, in the system's words; empty while nothing failed.
  const std::string& failure() const { return failure_; }

  // Gives the file up for `reason` (failure() then tells it, the first reason kept): the
  // temporary file is removed and the final name left as it was, as after a failed write.
  void fail(std::string reason);

  // A temporary file that could not be removed because it was no longer where it was made (its
  // folder was moved away while the file was written): it may remain in the folder's new place.
  const std::filesystem::path& leftover() const { return leftover_; }

 private:
  friend bool put_in_place_together(AtomicFileWriter& primary, std::span<const Companion> companions);
  // Large enough that a write costs little against its bytes, small enough that the fresh pages
  // of a first file (each a costly fault on some virtual machines) cost little too.
  static constexpr std::size_t flush_size = std::size_t{1} << 18;
  static constexpr std::size_t small_file_size = std::size_t{1} << 16;
  void flush();
  bool close_file();
  bool abandon_requested() const { return context_.abandon.stop_requested(); }
  bool rename_into_place();  // put_in_place() without the look at the abandon request

  WriteContext context_;
  std::filesystem::path target_;     // the final file, symbolic links followed
  std::filesystem::path temporary_;  // empty when writing a device in place
  std::FILE* file_ = nullptr;  // C stdio, so that the disk flush can reach the open file
  bool open_ = false;
  bool failed_ = false;
  bool complete_ = false;
  bool placed_ = false;
  bool renamed_ = false;
  bool name_was_free_ = false;  // nothing stood at the final name when the writer was made
  bool earlier_only_ = false;   // writes nothing (EarlierOnly)
  // What look_before_placing() saw: nothing in the way (or a device), an earlier file it may
  // replace, one that must stay (read-only), or something else refused (a folder).
  enum class Look : unsigned char { none, clear, earlier_file, kept, refused };
  Look looked_ = Look::none;
  std::string refusal_;  // why, for a kept or refused final name
  int write_error_ = 0;  // errno of the first failed write
  std::string failure_;
  std::filesystem::path leftover_;
  std::string buffer_;
  std::optional<Sha512> digest_;  // of the bytes written so far, when kept
};

// A file's companion: its settings file or its metadata. A required one (SigMF metadata) makes
// the pair one unit: both are put in place or neither.
struct Companion {
  AtomicFileWriter& writer;
  bool required;
};

// Puts a completed file and its completed companions in place so that no failure or kill leaves
// a companion beside a file other than its own: every final name is looked at first (nothing
// changes when a look fails), then the companions' earlier files are removed (the optional ones
// first), then `primary` is renamed, then each companion. The worst a kill leaves is the new
// file, or the earlier one, without its companion. Nothing changes when `primary` or a required
// companion is not complete; a required companion that cannot be put in place takes the new
// `primary` with it. An EarlierOnly companion's file goes with the earlier `primary`. An abandon
// request (WriteContext::abandon) is heeded once, after the looks and before the first change:
// then the whole set is given up ("abandoned after an interrupt") and nothing changes; once a
// set is begun it is finished whatever is requested meanwhile. Returns whether `primary` is in
// place; an optional companion's is_placed() says whether it is.
bool put_in_place_together(AtomicFileWriter& primary, std::span<const Companion> companions);

// How many sets put_in_place_together is putting in place in this process at this moment: a
// front end that ends the process at once (a third interrupt) first waits, briefly, for none.
unsigned sets_being_placed();

}  // namespace quorvin
