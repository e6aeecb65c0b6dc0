// Helpers shared by the test suites: where the reference files are, and scratch directories.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace test_support {

// Folder of the reference database files: $REDB_FIXTURES, else the build's default, else
// ../shared/fixtures. Empty when none exists.
std::filesystem::path fixtures_dir();

// Skips the current test with a message when the reference files are absent.
#define REQUIRE_FIXTURES()                                                            \
  do {                                                                                \
    if (::test_support::fixtures_dir().empty())                                       \
      GTEST_SKIP() << "reference files not found (set REDB_FIXTURES to their folder)"; \
  } while (0)

// A fresh, empty directory under the system's temporary folder, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// The whole contents of the file at `path`; empty when it cannot be read.
std::string file_bytes(const std::filesystem::path& path);

// Overwrites the bytes of the file at `path` from `offset` on with `bytes`, in place.
void overwrite_file_bytes(const std::filesystem::path& path, size_t offset, std::string_view bytes);

// Copies a reference file into `dir` (writable) and returns the copy's path.
std::filesystem::path copy_fixture(const std::string& relative, const std::filesystem::path& dir);

}  // namespace test_support
