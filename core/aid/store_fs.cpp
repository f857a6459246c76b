#include "core/aid/store_fs.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <system_error>

#include "core/base/decimal.hpp"

namespace quorvex::aid {
namespace {

constexpr std::string_view kCommitStep = "Failed to commit save: ";

std::string in_subdirectory(std::string_view subdirectory, std::string_view name) {
  std::string path(subdirectory);
  path += '/';
  path += name;
  return path;
}

// sync_directory makes the entries of a directory durable. Some file systems
// cannot sync a directory (EINVAL); their renames are as durable as they get.
int sync_directory(int fd) noexcept {
  if (::fsync(fd) == 0 || errno == EINVAL) return 0;
  return errno;
}

Result<void> write_all(int fd, std::string_view content, std::string_view step) {
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(step, errno);
    }
    written += static_cast<std::size_t>(n);
  }
  return ok();
}

// roll_forward moves every file still in the commit subdirectory over its
// target, then removes the subdirectory. A file already moved is skipped, so
// running it again after an interruption finishes the same set.
Result<void> roll_forward(int dir_fd, std::span<const StoreFile> files,
                          std::optional<std::string_view> step) {
  const std::string commit(kCommitDirName);
  for (const StoreFile& file : files) {
    const std::string from = in_subdirectory(commit, file.name);
    const std::string to(file.name);
    if (::renameat(dir_fd, from.c_str(), dir_fd, to.c_str()) != 0 && errno != ENOENT) {
      return os_failure(step.value_or(file.step), errno);
    }
  }
  const std::string_view last_step = step.value_or(kCommitStep);
  // The moves are on disk before the subdirectory that proves them unfinished is gone.
  if (const int code = sync_directory(dir_fd); code != 0) return os_failure(last_step, code);
  if (::unlinkat(dir_fd, commit.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
    return os_failure(last_step, errno);
  }
  if (const int code = sync_directory(dir_fd); code != 0) return os_failure(last_step, code);
  return ok();
}

// remove_staged removes the files named and then the staging subdirectory.
Result<void> remove_staged(int dir_fd, std::span<const StoreFile> files, std::string_view step) {
  const std::string staged(kStagedDirName);
  // A writer killed between mkdir and chmod can leave it without owner access.
  ::fchmodat(dir_fd, staged.c_str(), 0700, 0);
  for (const StoreFile& file : files) {
    const std::string path = in_subdirectory(staged, file.name);
    if (::unlinkat(dir_fd, path.c_str(), 0) != 0 && errno != ENOENT) {
      return os_failure(step, errno);
    }
  }
  if (::unlinkat(dir_fd, staged.c_str(), AT_REMOVEDIR) != 0) return os_failure(step, errno);
  if (const int code = sync_directory(dir_fd); code != 0) return os_failure(step, code);
  return ok();
}

bool is_present(int dir_fd, std::string_view name) {
  struct stat info {};
  return ::fstatat(dir_fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

Failure os_failure(std::string_view step, int code) {
  std::string text(step);
  text += std::system_category().message(code);
  text += " (os error ";
  append_decimal(text, code);
  text += ')';
  return fail(ErrorKind::Other, std::move(text));
}

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> make_directories(const std::string& dir) {
  constexpr std::string_view kStep = "Failed to create directory: ";
  if (dir.empty()) return ok();  // the current directory
  for (int attempt = 0;; ++attempt) {
    if (::mkdir(dir.c_str(), 0700) == 0) {
      // The umask may have taken bits, the owner's included, from 0700.
      if (::chmod(dir.c_str(), 0700) != 0) return os_failure(kStep, errno);
      return ok();
    }
    const int code = errno;
    if (code == EEXIST) {
      struct stat info {};
      if (::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ok();
      return os_failure(kStep, ENOTDIR);
    }
    if (code != ENOENT || attempt > 0) return os_failure(kStep, code);
    std::size_t end = dir.find_last_not_of('/');
    end = end == std::string::npos ? std::string::npos : dir.find_last_of('/', end);
    if (end == std::string::npos) return os_failure(kStep, code);
    const std::size_t parent_end = dir.find_last_not_of('/', end);
    if (parent_end == std::string::npos) return os_failure(kStep, code);  // under "/"
    if (auto made = make_directories(dir.substr(0, parent_end + 1)); !made) return made;
  }
}

Result<UniqueFd> open_directory(const std::string& dir, std::string_view step) {
  const char* path = dir.empty() ? "." : dir.c_str();
  UniqueFd fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return os_failure(step, errno);
  return fd;
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

Result<void> DirectoryLock::make_exclusive(std::string_view step) {
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) return os_failure(step, errno);
  }
  return ok();
}

Result<DirectoryLock> lock_directory(int dir_fd, bool exclusive, std::string_view step) {
  while (::flock(dir_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) return os_failure(step, errno);
  }
  return DirectoryLock(dir_fd);
}

bool has_leftovers(int dir_fd) {
  return is_present(dir_fd, kCommitDirName) || is_present(dir_fd, kStagedDirName);
}

Result<void> recover(int dir_fd, std::span<const StoreFile> files, std::string_view step) {
  if (is_present(dir_fd, kCommitDirName)) {
    if (auto done = roll_forward(dir_fd, files, step); !done) return done;
  }
  if (is_present(dir_fd, kStagedDirName)) return remove_staged(dir_fd, files, step);
  return ok();
}

Result<bool> entry_exists(int dir_fd, std::string_view name, std::string_view step) {
  struct stat info {};
  if (::fstatat(dir_fd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno == ENOENT) return false;
  return os_failure(step, errno);
}

Result<std::string> read_member(int at_fd, const std::string& name, bool from_commit,
                                std::size_t limit, std::string_view step) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd;
  if (from_commit) {
    fd = UniqueFd(::openat(at_fd, in_subdirectory(kCommitDirName, name).c_str(), kFlags));
    if (!fd && errno != ENOENT) return os_failure(step, errno);
  }
  if (!fd) fd = UniqueFd(::openat(at_fd, name.c_str(), kFlags));
  if (!fd) return os_failure(step, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return os_failure(step, errno);
  if (!S_ISREG(info.st_mode)) {
    return fail(ErrorKind::Other, std::string(step) + "file is not a regular file");
  }
  const auto too_large = [&] {
    std::string text(step);
    text += "file is larger than ";
    append_decimal(text, limit);
    text += " bytes";
    return fail(ErrorKind::Other, std::move(text));
  };
  if (static_cast<std::uint64_t>(info.st_size) > limit) return too_large();
  // Sized once, one byte past the limit, so a key is never copied by a growing string.
  std::string text(limit + 1, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + size, text.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      sodium_memzero(text.data(), text.size());
      return os_failure(step, code);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  if (size > limit) {  // it grew after fstat
    sodium_memzero(text.data(), text.size());
    return too_large();
  }
  text.resize(size);
  return text;
}

Result<StagedSet> StagedSet::begin(int dir_fd, std::string_view step) {
  const std::string staged(kStagedDirName);
  if (::mkdirat(dir_fd, staged.c_str(), 0700) != 0) return os_failure(step, errno);
  // From here on, the StagedSet (or the next recovery) removes it.
  auto staged_fd = [&]() -> Result<UniqueFd> {
    if (::fchmodat(dir_fd, staged.c_str(), 0700, 0) != 0) return os_failure(step, errno);
    UniqueFd fd(::openat(dir_fd, staged.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return os_failure(step, errno);
    return fd;
  }();
  if (!staged_fd) {
    ::unlinkat(dir_fd, staged.c_str(), AT_REMOVEDIR);
    return fail(staged_fd.error());
  }
  return StagedSet(dir_fd, std::move(*staged_fd));
}

StagedSet::StagedSet(StagedSet&& other) noexcept
    : dir_fd_(other.dir_fd_),
      staged_(std::move(other.staged_)),
      names_(std::move(other.names_)),
      done_(std::exchange(other.done_, true)) {}

StagedSet::~StagedSet() {
  if (done_) return;
  for (const std::string_view name : names_) {
    ::unlinkat(staged_.get(), std::string(name).c_str(), 0);
  }
  ::unlinkat(dir_fd_, std::string(kStagedDirName).c_str(), AT_REMOVEDIR);
}

Result<void> StagedSet::add(const StoreFile& file, std::string_view content, mode_t mode,
                            bool exact) {
  // rename(2) replaces a file or a link but not a directory; find that out before committing.
  struct stat target {};
  if (::fstatat(dir_fd_, std::string(file.name).c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(target.st_mode)) {
    return os_failure(file.step, EISDIR);
  }
  const std::string name(file.name);
  UniqueFd fd(::openat(staged_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return os_failure(file.step, errno);
  names_.push_back(file.name);
  if (exact && ::fchmod(fd.get(), mode) != 0) return os_failure(file.step, errno);
  if (auto written = write_all(fd.get(), content, file.step); !written) return written;
  if (::fsync(fd.get()) != 0) return os_failure(file.step, errno);
  // close reports the error of the last write back that close may carry.
  if (::close(fd.release()) != 0) return os_failure(file.step, errno);
  return ok();
}

Result<void> StagedSet::commit(std::span<const StoreFile> files) {
  if (const int code = sync_directory(staged_.get()); code != 0) {
    return os_failure(kCommitStep, code);
  }
  const std::string staged(kStagedDirName);
  const std::string commit(kCommitDirName);
  if (::renameat(dir_fd_, staged.c_str(), dir_fd_, commit.c_str()) != 0) {
    return os_failure(kCommitStep, errno);
  }
  done_ = true;  // the new set is the directory's now, whatever follows
  if (const int code = sync_directory(dir_fd_); code != 0) return os_failure(kCommitStep, code);
  return roll_forward(dir_fd_, files, std::nullopt);
}

}  // namespace quorvex::aid
