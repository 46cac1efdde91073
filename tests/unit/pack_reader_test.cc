#include "pak/pack_reader.h"
#include "commands/open_pack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <vector>

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
  PackView view;
  EXPECT_FALSE(map_pak_file(platform::Env::system(), pak, &view));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Bad dir file " + pak + "\n");
  EXPECT_EQ(view.data(), nullptr);
  EXPECT_TRUE(lockable(pak));
}

TEST(MapPakFile, SuccessHoldsTheLockUntilReleased) {
  TempDir tmp;
  const std::string pak = tmp / "good.pak";
  PackBuilder().stored(bytes_of("x")).write(pak);
  ::testing::internal::CaptureStdout();
  PackView view;
  ASSERT_TRUE(map_pak_file(platform::Env::system(), pak, &view));
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(lockable(pak));
  view = PackView();
  EXPECT_TRUE(lockable(pak));
}

// The real system, but another process cuts the pack to `cut_` bytes right
// after it is mapped.
class CutAfterMapping : public platform::Env {
 public:
  explicit CutAfterMapping(uint64_t cut) : cut_(cut) {}
  platform::Error map_shared(const std::string& path, platform::MappedView* view) override {
    const platform::Error e = Env::map_shared(path, view);
    if (::truncate(path.c_str(), static_cast<off_t>(cut_)) != 0) return platform::Error::kIo;
    return e;
  }

 private:
  uint64_t cut_;
};

TEST(MapPakFile, PackCutIntoItsDirectoryAfterMappingIsBad) {
  TempDir tmp;
  const std::string pak = tmp / "cut.pak";
  PackBuilder pack;
  // A directory of several pages, and data after it.
  for (uint32_t i = 0; i < 1000; ++i) pack.stored(bytes_of("entry data"));
  const uint64_t dir_end = directory_end(1000);
  // Within the directory's last page (reads as zeros, no fault), across
  // pages (faults), in the header, and just one byte short.
  for (const uint64_t cut : {dir_end - 100, uint64_t{5000}, uint64_t{10}, dir_end - 1}) {
    pack.write(pak);
    CutAfterMapping env(cut);
    PackView view;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(map_pak_file(env, pak, &view)) << cut;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Bad dir file " + pak + "\n") << cut;
  }
  // Cut in the data only: the directory is whole, and expansion goes on.
  pack.write(pak);
  CutAfterMapping env(dir_end + 3);
  PackView view;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(map_pak_file(env, pak, &view));
  ::testing::internal::GetCapturedStdout();
  const Bytes whole = pack.build();
  EXPECT_EQ(view.dir_image, Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(dir_end)));
}

}  // namespace
}  // namespace radodaro::testing
