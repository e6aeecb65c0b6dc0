// Error values of the storage layer. Every failure travels as its display text, exactly as the
// real library renders it, so callers can show it unchanged.
#pragma once

#include <expected>
#include <string>

namespace redb {

struct Error {
  // What failed. `table`: a table error of its own, which a healthy file gives too: the table
  // is absent, already exists or is open, or is stored as another kind or with other types or
  // another definition. `storage`: everything else (damage, I/O, a closed database, ...).
  enum class Kind { storage, table };

  std::string text;  // display text, no trailing newline
  Kind kind = Kind::storage;

  // "I/O error: {system message} (os error {n})"
  static Error io_errno(int errnum);
  // "I/O error: {message}" for errors carrying a fixed message ("failed to fill whole buffer").
  static Error io_message(const std::string& message);
  // "DB corrupted: {what}"
  static Error corrupted(const std::string& what);
  // A table error of its own (kind `table`) with that display text.
  static Error table(std::string text);
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// The C library's message for an error number, as "{message} (os error {n})".
std::string os_error_text(int errnum);

}  // namespace redb
