#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/run.h"

namespace radodaro {
namespace {

std::string cwd() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? buf : "";
}

TEST(FullPath, FoldsLexically) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a/b/../c", "/a/c"}, {"/a/./b", "/a/b"}, {"//a///b//", "/a/b/"},   {"/..", "/"},
      {"/../../x", "/x"},    {"/", "/"},         {"/a/b/c/../../..", "/"}, {"/a/..b/c", "/a/..b/c"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::full_path(c.in), c.out) << c.in;
}

TEST(FullPath, RelativeToCurrentFolder) {
  const std::string here = cwd();
  ASSERT_FALSE(here.empty());
  EXPECT_EQ(platform::full_path(""), here);
  EXPECT_EQ(platform::full_path("."), here);
  EXPECT_EQ(platform::full_path("out"), here + "/out");
  EXPECT_EQ(platform::full_path("out/"), here + "/out/");
  EXPECT_EQ(platform::full_path("x/../y"), here + "/y");
}

TEST(MakeOutputDirs, CreatesTheWholeChainOuterFirst) {
  testing::TempDir tmp;
  const std::string before = cwd();
  platform::make_folder_chain(platform::Env::system(), tmp / "one/two/three/00000000.dat");
  EXPECT_EQ(testing::list_folder(tmp / "one/two"), std::vector<std::string>{"three"});
  EXPECT_TRUE(testing::list_folder(tmp / "one/two/three").empty());
  // An existing chain is no trouble, and the current folder never moves.
  platform::make_folder_chain(platform::Env::system(), tmp / "one/two/three/00000001.dat");
  EXPECT_EQ(cwd(), before);
}

}  // namespace
}  // namespace radodaro
