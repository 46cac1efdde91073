// Paths as Windows resolves them: drives, both separators, network shares.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace radodaro {
namespace {

TEST(FullPath, DrivesBothSeparatorsAndFolding) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:\\a\\b\\..\\c", "C:\\a\\c"},
      {"C:/a/./b", "C:\\a\\b"},
      {"C:\\", "C:\\"},
      {"C:\\a\\..\\..", "C:\\"},
      {"c:\\x\\", "c:\\x\\"},
      {"D:/p/q/", "D:\\p\\q\\"},
      {"\\\\srv\\share\\a\\..\\b", "\\\\srv\\share\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::full_path(c.in), c.out) << c.in;
  EXPECT_EQ(platform::full_folder_path("C:\\"), "C:\\");
  EXPECT_EQ(platform::full_folder_path("C:/out"), "C:\\out\\");
}

TEST(FullPath, RelativeToTheCurrentFolderOfTheCurrentDrive) {
  const std::string here = std::filesystem::current_path().string();
  ASSERT_GE(here.size(), 3u);
  EXPECT_EQ(platform::full_path(""), here);
  EXPECT_EQ(platform::full_path("."), here);
  EXPECT_EQ(platform::full_path("out"), here + "\\out");
  EXPECT_EQ(platform::full_path("out/sub/"), here + "\\out\\sub\\");
  EXPECT_EQ(platform::full_path("x\\..\\y"), here + "\\y");
  // Rooted without a drive: the current drive's root.
  EXPECT_EQ(platform::full_path("\\top"), here.substr(0, 2) + "\\top");
  EXPECT_EQ(platform::full_folder_path(""), here + "\\");
}

// Records the folders that would be made, making none.
class Recorder : public platform::Env {
 public:
  platform::Error make_folder(const std::string& path) override {
    made.push_back(path);
    return platform::Error::kOk;
  }
  std::vector<std::string> made;
};

TEST(MakeFolderChain, OuterFirstAfterTheDriveOrTheShare) {
  using Made = std::vector<std::string>;
  const struct {
    const char* path;
    Made made;
  } cases[] = {
      {"C:\\a\\b\\00000000.dat", Made{"C:\\a", "C:\\a\\b"}},
      {"C:\\00000000.dat", Made{}},
      {"\\\\srv\\share\\x\\y\\00000000.dat", Made{"\\\\srv\\share\\x", "\\\\srv\\share\\x\\y"}},
      {"\\\\srv\\share\\00000000.dat", Made{}},
      {"\\a\\00000000.dat", Made{"\\a"}},
  };
  for (const auto& c : cases) {
    Recorder env;
    platform::make_folder_chain(env, c.path);
    EXPECT_EQ(env.made, c.made) << c.path;
  }
}

}  // namespace
}  // namespace radodaro
