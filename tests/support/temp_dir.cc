#include "support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace radodaro::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  const fs::path root =
      base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = root / ("radodaro-test-" + std::to_string(random() % 1000000000));
    std::error_code ec;
    // create_directory is false, without an error, when it was there.
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("can't make a temporary folder under " + root.string());
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make folders read-only; give the permissions back first.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<std::string> list_folder(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace radodaro::testing
