#pragma once

// The file-system half of the identity store: a set of files in a directory
// that is replaced all at once. New files are written into a staging
// subdirectory; one rename turns it into the commit subdirectory, after which
// its files are renamed over the old ones. Whoever next locks the directory
// finishes a commit subdirectory left by a writer that died and removes a
// staging subdirectory, so the directory always holds one whole set.
// Guarantees hold where flock(2) and rename(2) of a directory work: local
// POSIX file systems.

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/result.hpp"

namespace quorvex::aid {

inline constexpr std::string_view kStagedDirName = ".quorvex-save.staged";
inline constexpr std::string_view kCommitDirName = ".quorvex-save.commit";

// StoreFile is one file of a set and the text its write failures start with.
struct StoreFile {
  std::string_view name;
  std::string_view step;
};

// os_failure is Other "<step><strerror> (os error N)".
Failure os_failure(std::string_view step, int code);

// UniqueFd closes its descriptor, and so drops any flock on it, when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// make_directories creates dir and its missing parents, each given mode 0700
// whatever the umask. Fails with "Failed to create directory: " and the cause.
Result<void> make_directories(const std::string& dir);

// open_directory opens dir ("" is the current directory) for locking and for
// the *at calls. Fails with step and the cause.
Result<UniqueFd> open_directory(const std::string& dir, std::string_view step);

// DirectoryLock drops its directory's flock when destroyed. It unlocks rather
// than leave that to close(2): a child forked meanwhile shares the descriptor's
// open file description, and with it the lock, until the child exits.
class DirectoryLock {
 public:
  explicit DirectoryLock(int dir_fd) noexcept : fd_(dir_fd) {}
  DirectoryLock(DirectoryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock();

  // make_exclusive trades a shared lock for the exclusive one. flock(2) does
  // that in two steps: another process may lock the directory in between.
  // Fails with step and the cause, the directory then unlocked.
  Result<void> make_exclusive(std::string_view step);

 private:
  int fd_;
};

// lock_directory waits for an exclusive or shared flock on dir_fd, replacing
// any lock that descriptor holds. Fails with step and the cause.
Result<DirectoryLock> lock_directory(int dir_fd, bool exclusive, std::string_view step);

// has_leftovers says whether a staging or commit subdirectory is present.
bool has_leftovers(int dir_fd);

// recover finishes a commit subdirectory, moving its files in files' order,
// and removes a staging subdirectory. The caller holds the exclusive lock.
// Fails with step and the cause; the directory then still holds one whole set
// as read_member reads it.
Result<void> recover(int dir_fd, std::span<const StoreFile> files, std::string_view step);

// entry_exists says whether dir_fd holds an entry called name, of any type.
// Fails with step and the cause when that cannot be told.
Result<bool> entry_exists(int dir_fd, std::string_view name, std::string_view step);

// read_member reads the regular file name of at_fd (a directory descriptor or
// AT_FDCWD with name a path), or its copy in the commit subdirectory first
// when from_commit is set. Fails with step and the cause, "file is not a
// regular file" or "file is larger than <limit> bytes"; text read before a
// failure is wiped.
Result<std::string> read_member(int at_fd, const std::string& name, bool from_commit,
                                std::size_t limit, std::string_view step);

// StagedSet is a set of new files being written into the staging
// subdirectory. Unless committed, the destructor removes what was staged.
class StagedSet {
 public:
  // begin creates the staging subdirectory, mode 0700. The caller holds the
  // exclusive lock and has run recover. Fails with step and the cause.
  static Result<StagedSet> begin(int dir_fd, std::string_view step);

  StagedSet(StagedSet&& other) noexcept;
  StagedSet& operator=(StagedSet&&) = delete;
  StagedSet(const StagedSet&) = delete;
  StagedSet& operator=(const StagedSet&) = delete;
  ~StagedSet();

  // add writes content to a new staged file and syncs it, failing with
  // file.step and the cause, or EISDIR when a directory stands where the file
  // goes. The file is created with mode less the umask or, when exact, with
  // mode itself, before anything is written to it.
  Result<void> add(const StoreFile& file, std::string_view content, mode_t mode, bool exact);

  // commit makes the staged files the directory's, moving them in files'
  // order. Once the staging subdirectory has become the commit subdirectory,
  // a failure leaves the new set in place for recover to finish. Fails with
  // "Failed to commit save: " or a file's step and the cause.
  Result<void> commit(std::span<const StoreFile> files);

 private:
  StagedSet(int dir_fd, UniqueFd staged) noexcept : dir_fd_(dir_fd), staged_(std::move(staged)) {}

  int dir_fd_;
  UniqueFd staged_;
  std::vector<std::string_view> names_;  // created so far, for the destructor
  bool done_ = false;
};

}  // namespace quorvex::aid
