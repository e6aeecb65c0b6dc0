// PosixFile: the production File, on a Linux file descriptor.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "file.h"

namespace redb {
namespace {

class PosixFile final : public File {
 public:
  PosixFile(int fd, bool locked) : fd_(fd), locked_(locked) {}
  ~PosixFile() override {
    if (locked_) ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Result<uint64_t> length() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return std::unexpected(Error::io_errno(errno));
    return static_cast<uint64_t>(st.st_size);
  }

  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(Error::io_errno(errno));
      }
      if (n == 0) return std::unexpected(Error::io_message("failed to fill whole buffer"));
      done += static_cast<size_t>(n);
    }
    return {};
  }

  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(Error::io_errno(errno));
      }
      if (n == 0) return std::unexpected(Error::io_message("failed to write whole buffer"));
      done += static_cast<size_t>(n);
    }
    return {};
  }

  // pwritev in batches of at most `max_pieces` buffers; a short write goes on from where it
  // stopped.
  Status write_gathered(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) override {
    constexpr size_t max_pieces = 512;
    std::array<iovec, max_pieces> vectors;
    size_t next = 0;        // first piece not yet handed to the system
    size_t next_done = 0;   // bytes of that piece already written
    while (next < pieces.size()) {
      size_t count = std::min(max_pieces, pieces.size() - next);
      for (size_t i = 0; i < count; ++i) {
        std::span<const uint8_t> piece = pieces[next + i];
        size_t skip = i == 0 ? next_done : 0;
        vectors[i] = iovec{const_cast<uint8_t*>(piece.data()) + skip, piece.size() - skip};
      }
      ssize_t n = ::pwritev(fd_, vectors.data(), static_cast<int>(count), static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(Error::io_errno(errno));
      }
      if (n == 0) return std::unexpected(Error::io_message("failed to write whole buffer"));
      offset += static_cast<uint64_t>(n);
      size_t written = static_cast<size_t>(n);
      while (next < pieces.size() && written >= pieces[next].size() - next_done) {
        written -= pieces[next].size() - next_done;
        next_done = 0;
        ++next;
      }
      next_done += written;
    }
    return {};
  }

  void start_writeback() override { (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE); }

  Status sync_data() override {
    while (::fdatasync(fd_) != 0) {
      if (errno != EINTR) return std::unexpected(Error::io_errno(errno));
    }
    return {};
  }

  Status set_length(uint64_t length) override {
    while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
      if (errno != EINTR) return std::unexpected(Error::io_errno(errno));
    }
    return {};
  }

 private:
  int fd_;
  bool locked_;
};

}  // namespace

Result<std::unique_ptr<File>> open_locked_file(const std::string& path, OpenMode mode) {
  int flags = O_RDWR | O_CLOEXEC;
  int fd;
  do {
    fd = mode == OpenMode::create_if_absent ? ::open(path.c_str(), flags | O_CREAT, 0666)
                                            : ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(Error::io_errno(errno));

  bool locked = true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EOPNOTSUPP || err == ENOSYS) {
      locked = false;
    } else {
      ::close(fd);
      if (err == EWOULDBLOCK) return std::unexpected(Error{"Database already open. Cannot acquire lock."});
      return std::unexpected(Error::io_errno(err));
    }
  }
  return std::unique_ptr<File>(new PosixFile(fd, locked));
}

}  // namespace redb
