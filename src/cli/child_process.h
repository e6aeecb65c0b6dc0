// Test helper: runs a built program as a child process with a chosen argument vector, a
// complete environment and chosen standard streams, and collects what it wrote.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace cli_test {

// Where a child's standard output or error goes.
enum class Stream {
  captured,     // a pipe the parent reads
  terminal,     // a pseudo-terminal in raw mode the parent reads
  closed,       // the descriptor is closed when the program starts
  full_device,  // /dev/full: every write fails with "No space left on device"
  reader_gone,  // a pipe whose read end is already closed
};

struct Launch {
  std::string program;
  std::optional<std::string> argv0;       // the invocation path; the program path by default
  std::vector<std::string> arguments;     // after the invocation path
  std::vector<std::string> environment;   // "NAME=value" items: the child's whole environment
  Stream standard_output = Stream::captured;
  Stream standard_error = Stream::captured;
  std::string working_directory;          // empty: the parent's
};

struct Outcome {
  int status = -1;  // exit status, or 128 + signal number
  std::string standard_output;
  std::string standard_error;
};

namespace detail {

// The parent's end of one stream (-1 when it reads nothing) and the child's.
struct StreamEnds {
  int parent = -1;
  int child = -1;
};

inline StreamEnds open_stream(Stream kind) {
  StreamEnds ends;
  int fds[2];
  switch (kind) {
    case Stream::captured:
      if (pipe2(fds, O_CLOEXEC) == 0) ends = {fds[0], fds[1]};
      break;
    case Stream::terminal: {
      int master = -1, slave = -1;
      if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) {
        termios mode{};
        tcgetattr(slave, &mode);
        cfmakeraw(&mode);  // no "\n" to "\r\n" translation, so the bytes arrive as written
        tcsetattr(slave, TCSANOW, &mode);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        ends = {master, slave};
      }
      break;
    }
    case Stream::closed:
      break;
    case Stream::full_device:
      ends.child = open("/dev/full", O_WRONLY | O_CLOEXEC);
      break;
    case Stream::reader_gone:
      // Closed before the child starts, so that not even its first write finds a reader.
      if (pipe2(fds, O_CLOEXEC) == 0) {
        close(fds[0]);
        ends.child = fds[1];
      }
      break;
  }
  return ends;
}

// Reads both streams until each reports its end (a pseudo-terminal reports EIO).
inline void drain(int out_fd, std::string& out, int err_fd, std::string& err) {
  pollfd polled[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buffer[65536];
  while (polled[0].fd >= 0 || polled[1].fd >= 0) {
    if (poll(polled, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      const ssize_t got = read(polled[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(polled[i].fd);
        polled[i].fd = -1;
      }
    }
  }
}

}  // namespace detail

// Whether this machine hands out pseudo-terminals (containers may lack /dev/ptmx).
inline bool terminal_available() {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
  close(master);
  close(slave);
  return true;
}

// Opens /dev/null on any closed standard descriptor of this process, so that no pipe end
// created below lands on 0, 1 or 2 and is overwritten in the child.
inline void ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
}

inline Outcome run(const Launch& launch) {
  ensure_standard_descriptors();
  const std::string argv0 = launch.argv0.value_or(launch.program);
  std::vector<char*> argv{const_cast<char*>(argv0.c_str())};
  for (const std::string& argument : launch.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& item : launch.environment) envp.push_back(const_cast<char*>(item.c_str()));
  envp.push_back(nullptr);

  detail::StreamEnds out = detail::open_stream(launch.standard_output);
  detail::StreamEnds err = detail::open_stream(launch.standard_error);

  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on. The standard input is /dev/null.
    const int null_input = open("/dev/null", O_RDONLY);
    if (null_input >= 0) dup2(null_input, STDIN_FILENO);
    if (out.child >= 0) dup2(out.child, STDOUT_FILENO); else close(STDOUT_FILENO);
    if (err.child >= 0) dup2(err.child, STDERR_FILENO); else close(STDERR_FILENO);
    if (!launch.working_directory.empty() && chdir(launch.working_directory.c_str()) != 0) _exit(126);
    execve(launch.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }

  if (out.child >= 0) close(out.child);
  if (err.child >= 0) close(err.child);
  Outcome outcome;
  detail::drain(out.parent, outcome.standard_output, err.parent, outcome.standard_error);
  int wait_status = 0;
  if (child > 0 && waitpid(child, &wait_status, 0) == child) {
    if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status)) outcome.status = 128 + WTERMSIG(wait_status);
  }
  return outcome;
}

}  // namespace cli_test
