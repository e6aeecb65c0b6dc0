#include "server/persistence/file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "storage/error.h"

namespace shard_migrate {

namespace {

std::unexpected<std::string> system_error(int errnum) { return std::unexpected(redb::os_error_text(errnum)); }

bool is_directory(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Whether the directory `path` may be searched by this process (its entries reached by name).
bool searchable(const std::string& path) { return ::access(path.empty() ? "." : path.c_str(), X_OK) == 0; }

std::string parent_of(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.string();
}

class SystemFileSystem final : public FileSystem {
 public:
  // Create the path; when a parent is missing create the parents first and retry. A path
  // that exists as a directory afterwards counts as made, even when another process won.
  FileSystemStatus make_directories(const std::string& path) override {
    if (path.empty()) return {};
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int errnum = errno;
    if (errnum == ENOENT) {
      std::string parent = parent_of(path);
      if (!parent.empty() && parent != path) {
        if (auto made = make_directories(parent); !made) return made;
        if (::mkdir(path.c_str(), 0777) == 0) return {};
        errnum = errno;
      }
    }
    if (is_directory(path)) return {};
    return system_error(errnum);
  }

  bool exists(const std::string& path) override {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
  }

  bool entry_exists(const std::string& path) override {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
  }

  FileSystemStatus write_file(const std::string& path, const std::string& contents) override {
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (descriptor < 0) return system_error(errno);
    int errnum = 0;
    for (size_t written = 0; written < contents.size() && errnum == 0;) {
      ssize_t count = ::write(descriptor, contents.data() + written, contents.size() - written);
      if (count > 0) written += static_cast<size_t>(count);
      else if (count < 0 && errno != EINTR) errnum = errno;
    }
    if (errnum == 0 && ::fsync(descriptor) != 0) errnum = errno;
    ::close(descriptor);
    if (errnum != 0) return system_error(errnum);
    return {};
  }

  std::expected<std::string, std::string> read_file(const std::string& path) override {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return system_error(errno);
    std::string contents;
    char buffer[4096];
    while (true) {
      ssize_t count = ::read(descriptor, buffer, sizeof buffer);
      if (count == 0) break;
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        int errnum = errno;
        ::close(descriptor);
        return system_error(errnum);
      }
      contents.append(buffer, static_cast<size_t>(count));
    }
    ::close(descriptor);
    return contents;
  }

  FileSystemStatus rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return system_error(errno);
    return {};
  }

  FileSystemStatus remove_file(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return system_error(errno);
    return {};
  }

  FileSystemStatus sync_directory(const std::string& path) override {
    int descriptor = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
      int errnum = errno;
      if (errnum != EACCES || !searchable(path)) return system_error(errnum);
      // Searchable but not readable: no descriptor can be had for an fsync. sync(2) flushes
      // every file system, this directory's entries included, and on Linux returns only once
      // that is done.
      ::sync();
      return {};
    }
    int result = ::fsync(descriptor);
    int errnum = errno;
    ::close(descriptor);
    if (result != 0) return system_error(errnum);
    return {};
  }

  FileSystemStatus remove_tree(const std::string& path) override {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) return system_error(errno);
    if (S_ISLNK(status.st_mode)) {
      if (::unlink(path.c_str()) != 0) return system_error(errno);
      return {};
    }
    if (!S_ISDIR(status.st_mode)) return system_error(ENOTDIR);
    // remove_all never follows the symbolic links it meets below the directory.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) return system_error(error.value());
    return {};
  }

  uint64_t wall_clock_seconds() override {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec);
  }
};

}  // namespace

FileSystem& system_file_system() {
  static SystemFileSystem file_system;
  return file_system;
}

DirectoryLock::~DirectoryLock() {
  if (descriptor_ >= 0) ::close(descriptor_);  // closing releases the flock
}

std::expected<DirectoryLock, std::string> DirectoryLock::acquire(const std::string& path) {
  int descriptor = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    int errnum = errno;
    if (errnum == EACCES || errnum == ENOENT || errnum == ENOTDIR) return DirectoryLock(-1, Outcome::unlocked);
    return system_error(errnum);
  }
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) return DirectoryLock(descriptor, Outcome::locked);
  int errnum = errno;
  ::close(descriptor);
  if (errnum == EWOULDBLOCK) return DirectoryLock(-1, Outcome::held_elsewhere);
  if (errnum == EOPNOTSUPP || errnum == ENOSYS) return DirectoryLock(-1, Outcome::unlocked);
  return system_error(errnum);
}

}  // namespace shard_migrate
