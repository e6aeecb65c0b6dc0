// The file-system operations the migration performs outside the storage library: directory
// creation, existence tests, small whole files (the swap journal), renames, removals,
// directory syncs and the wall clock that names the backup directory. Production uses
// `system_file_system()`; tests substitute an implementation that fails chosen calls.
// Failures carry the system's text "{message} (os error {n})", naming no path.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace shard_migrate {

using FileSystemStatus = std::expected<void, std::string>;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Creates `path` and its missing parents (mode 777 before the umask). An existing directory,
  // or a link to one, is accepted; any other existing object fails. "" creates nothing.
  virtual FileSystemStatus make_directories(const std::string& path) = 0;
  // Whether `path` names an existing object, following symbolic links.
  virtual bool exists(const std::string& path) = 0;
  // Whether a directory entry of that name exists, without following a final symbolic link.
  virtual bool entry_exists(const std::string& path) = 0;
  // Creates (or truncates) the file `path` with `contents` and makes its contents durable
  // (fsync of the file; its directory entry needs a sync of the directory).
  virtual FileSystemStatus write_file(const std::string& path, const std::string& contents) = 0;
  // The whole contents of the file `path`.
  virtual std::expected<std::string, std::string> read_file(const std::string& path) = 0;
  // rename(2): replaces an existing object of the target name.
  virtual FileSystemStatus rename(const std::string& from, const std::string& to) = 0;
  // unlink(2) of a file.
  virtual FileSystemStatus remove_file(const std::string& path) = 0;
  // Makes the entries of a directory durable (fsync of the directory). A directory that may be
  // searched but not read cannot be opened for that: every file system is synced instead.
  virtual FileSystemStatus sync_directory(const std::string& path) = 0;
  // Removes a directory with everything below it, or a symbolic link itself; never follows a
  // link. Fails (removing nothing) on an absent path or any other kind of object.
  virtual FileSystemStatus remove_tree(const std::string& path) = 0;
  // Whole seconds since the Unix epoch, 0 when the clock reads earlier.
  virtual uint64_t wall_clock_seconds() = 0;
};

// The real file system of the process.
FileSystem& system_file_system();

// An exclusive, non-blocking flock held on a directory until destruction.
class DirectoryLock {
 public:
  enum class Outcome { locked, unlocked, held_elsewhere };

  DirectoryLock(DirectoryLock&& other) noexcept : descriptor_(other.descriptor_), outcome_(other.outcome_) {
    other.descriptor_ = -1;
  }
  DirectoryLock& operator=(DirectoryLock&&) = delete;
  ~DirectoryLock();

  // Locks `path` itself (no file is created). A lock held by another open gives
  // `held_elsewhere`. `unlocked`, holding nothing: the file system has no locks, or the
  // directory cannot be opened because it may not be read (it may still be written and
  // searched) or does not exist (discovery then reports it). Fails with the system's text
  // when the directory cannot be opened or the lock fails otherwise.
  static std::expected<DirectoryLock, std::string> acquire(const std::string& path);
  Outcome outcome() const { return outcome_; }

 private:
  DirectoryLock(int descriptor, Outcome outcome) : descriptor_(descriptor), outcome_(outcome) {}
  int descriptor_;
  Outcome outcome_;
};

}  // namespace shard_migrate
