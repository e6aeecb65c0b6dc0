#include "error.h"

#include <cstring>
#include <fmt/format.h>

namespace redb {

std::string os_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r: returns a pointer to the message (possibly a static string).
  const char* message = strerror_r(errnum, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", message, errnum);
}

Error Error::io_errno(int errnum) { return Error{"I/O error: " + os_error_text(errnum)}; }

Error Error::io_message(const std::string& message) { return Error{"I/O error: " + message}; }

Error Error::corrupted(const std::string& what) { return Error{"DB corrupted: " + what}; }

Error Error::table(std::string text) { return Error{std::move(text), Kind::table}; }

}  // namespace redb
