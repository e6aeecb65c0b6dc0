// The one interface through which the storage layer reaches the disk. Tests plug a
// fault-injecting implementation in behind it; production uses PosixFile.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "error.h"

namespace redb {

class File {
 public:
  virtual ~File() = default;
  // Current length of the file in bytes.
  virtual Result<uint64_t> length() = 0;
  // Fills `out` from `offset`; a read that reaches past the end of the file fails with
  // "I/O error: failed to fill whole buffer".
  virtual Status read_at(uint64_t offset, std::span<uint8_t> out) = 0;
  // Writes all of `data` at `offset`.
  virtual Status write_at(uint64_t offset, std::span<const uint8_t> data) = 0;
  // Writes `pieces` back to back from `offset`. The file on disk may gather them into one
  // system call; by default each piece is one write_at.
  virtual Status write_gathered(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) {
    for (std::span<const uint8_t> piece : pieces) {
      if (auto written = write_at(offset, piece); !written) return written;
      offset += piece.size();
    }
    return {};
  }
  // Makes every write so far durable (fdatasync).
  virtual Status sync_data() = 0;
  // Asks the system to start writing the data written so far to the disk, without waiting
  // for it, so that a later sync_data() has less left to wait for. Only a hint: by default,
  // and where the system cannot, it does nothing.
  virtual void start_writeback() {}
  // Sets the file length (ftruncate).
  virtual Status set_length(uint64_t length) = 0;
};

enum class OpenMode {
  existing,        // O_RDWR|O_CLOEXEC: never creates or truncates
  create_if_absent // O_RDWR|O_CREAT|O_CLOEXEC, mode 0666: never truncates, never exclusive
};

// Opens `path` read-write and takes an exclusive, non-blocking flock on it. A lock held
// elsewhere gives "Database already open. Cannot acquire lock."; a file system without lock
// support (EOPNOTSUPP, ENOSYS) gives an unlocked file; every other failure gives
// "I/O error: {message} (os error {n})". Destroying the file releases the lock.
Result<std::unique_ptr<File>> open_locked_file(const std::string& path, OpenMode mode);

}  // namespace redb
