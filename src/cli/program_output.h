// Process-level plumbing of the entry: start-up of the standard descriptors, the program name
// from the invocation path, whole writes to a descriptor and the internal fault.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cli {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, aborting when that fails,
// and ignores SIGPIPE so that writing to a pipe without a reader fails instead of killing us.
void prepare_process();

// The last plain file-name component of an invocation path (trailing slashes and "." parts
// ignored) when it is valid UTF-8; none for an empty path, the root or a path ending in "..".
std::optional<std::string> program_name_from_path(std::string_view invocation_path);

// Writes all of `text` to `fd`, retrying short writes and interruptions. Returns 0 or errno.
int write_all(int fd, std::string_view text);

// The system's text for an error number: "{message} (os error {errnum})".
std::string system_error_text(int errnum);

// Ends the process with status 101 after "internal fault: {message}" on standard error.
[[noreturn]] void internal_fault(std::string_view message);

// Makes an uncaught exception or other terminate call an internal fault.
void install_fault_handler();

}  // namespace cli
