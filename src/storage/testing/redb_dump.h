// Runs the redb-dump program built next to the storage test program.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support/fixtures.h"

namespace redb::testing {

struct DumpRun {
  int status = -1;
  std::string out, err;
};

// The dump of `file`, with its output captured in `scratch`; nullopt when redb-dump is not built.
inline std::optional<DumpRun> run_dump(const std::filesystem::path& file, const test_support::ScratchDir& scratch) {
  namespace fs = std::filesystem;
  fs::path program = fs::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path() / "tools" / "redb-dump";
  if (!fs::exists(program)) return std::nullopt;
  fs::path out = scratch.path() / "dump.out", err = scratch.path() / "dump.err";
  std::string command = "'" + program.string() + "' '" + file.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
  int status = std::system(command.c_str());
  return DumpRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, test_support::file_bytes(out),
                 test_support::file_bytes(err)};
}

}  // namespace redb::testing
