// Scratch folders for tests, on any platform the tests run on.
#ifndef RADODARO_TESTS_SUPPORT_TEMP_DIR_H_
#define RADODARO_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>
#include <vector>

namespace radodaro::testing {

// A fresh folder under the temporary area, removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Every name in `folder`, sorted; empty when it does not exist.
std::vector<std::string> list_folder(const std::string& folder);

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_TEMP_DIR_H_
