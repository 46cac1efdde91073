#include "pak/pak_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/pack_builder.h"
#include "support/run.h"

namespace radodaro::testing {
namespace {

// Whether another open of `path` could take the exclusive lock now.
bool lockable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  const bool ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

TEST(MapPakFile, FailureHoldsNeitherMappingNorLock) {
  TempDir tmp;
  const std::string pak = tmp / "bad.pak";
  PackBuilder().entry_count(5).write(pak);  // directory runs past the end
  ::testing::internal::CaptureStdout();
  platform::MappedView view;
  std::vector<uint8_t> dir;
  EXPECT_FALSE(map_pak_file(platform::Env::system(), pak, &view, &dir));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Bad dir file " + pak + "\n");
  EXPECT_EQ(view.data, nullptr);
  EXPECT_TRUE(lockable(pak));
}

TEST(MapPakFile, SuccessHoldsTheLockUntilReleased) {
  TempDir tmp;
  const std::string pak = tmp / "good.pak";
  PackBuilder().stored(bytes_of("x")).write(pak);
  ::testing::internal::CaptureStdout();
  platform::MappedView view;
  std::vector<uint8_t> dir;
  ASSERT_TRUE(map_pak_file(platform::Env::system(), pak, &view, &dir));
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(lockable(pak));
  view = platform::MappedView();
  EXPECT_TRUE(lockable(pak));
}

}  // namespace
}  // namespace radodaro::testing
