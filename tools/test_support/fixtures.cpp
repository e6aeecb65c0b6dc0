#include "fixtures.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace test_support {

namespace fs = std::filesystem;

fs::path fixtures_dir() {
  for (const char* variable : {"REDB_FIXTURES", "REDB_FIXTURES_DEFAULT"}) {
    if (const char* value = std::getenv(variable); value && *value && fs::is_directory(value)) return value;
  }
  if (fs::is_directory("../shared/fixtures")) return fs::absolute("../shared/fixtures");
  return {};
}

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "redb-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void overwrite_file_bytes(const fs::path& path, size_t offset, std::string_view bytes) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot overwrite bytes of " + path.string());
}

fs::path copy_fixture(const std::string& relative, const fs::path& dir) {
  fs::path source = fixtures_dir() / relative;
  fs::path target = dir / source.filename();
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  return target;
}

}  // namespace test_support
