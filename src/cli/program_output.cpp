#include "cli/program_output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "cli/text_rules.h"

namespace cli {

namespace {

constexpr int internal_fault_status = 101;

}  // namespace

void prepare_process() {
  // In ascending order, so that open() hands out exactly the descriptor that is missing.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened != fd) std::abort();
  }
  signal(SIGPIPE, SIG_IGN);
}

std::optional<std::string> program_name_from_path(std::string_view invocation_path) {
  std::string_view last;
  size_t position = 0;
  while (position <= invocation_path.size()) {
    size_t slash = invocation_path.find('/', position);
    if (slash == std::string_view::npos) slash = invocation_path.size();
    const std::string_view component = invocation_path.substr(position, slash - position);
    if (!component.empty() && component != ".") last = component;
    position = slash + 1;
  }
  if (last.empty() || last == ".." || !is_valid_utf8(last)) return std::nullopt;
  return std::string(last);
}

int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

std::string system_error_text(int errnum) {
  char buffer[256];
  // The GNU strerror_r returns the message, which need not be in `buffer`.
  const char* message = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(message) + " (os error " + std::to_string(errnum) + ")";
}

void internal_fault(std::string_view message) {
  std::string report = "internal fault: ";
  report += message;
  report += '\n';
  write_all(STDERR_FILENO, report);
  std::_Exit(internal_fault_status);
}

void install_fault_handler() {
  std::set_terminate([] {
    std::string what = "terminated";
    if (std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const std::exception& exception) {
        what = exception.what();
      } catch (...) {
        what = "unknown exception";
      }
    }
    internal_fault(what);
  });
}

}  // namespace cli
