// Failed writes, syncs and closes, injected into the tool's own code run
// in-process: each must give its message and leave no damage behind.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "expand/expand.h"
#include "group/group.h"
#include "pak/pak_open.h"
#include "platform/files.h"
#include "support/pack_builder.h"
#include "support/run.h"

namespace radodaro::testing {
namespace {

class Faults : public ::testing::Test {
 protected:
  void TearDown() override { platform::fail_write_after(0, 0); }

  // Runs `fn` with standard output captured.
  template <typename F>
  std::string captured(F fn) {
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  TempDir tmp_;
};

TEST_F(Faults, GroupFailureAtEveryWriteLeavesThePackAsItWas) {
  PackBuilder pack;
  pack.stored(bytes_of("old zero")).stored(bytes_of("old one"));
  const Bytes original = pack.build();
  const std::string folder = tmp_ / "m/";
  ::mkdir(folder.c_str(), 0777);
  write_file(member_path(folder, 1), bytes_of("new one"));
  const std::string pak = tmp_ / "t.pak";

  // The writes of a run: the member's bytes, the sync of the data, the
  // directory, its sync, the close.
  for (int countdown = 1; countdown <= 4; ++countdown) {
    write_file(pak, original);
    platform::fail_write_after(countdown, ENOSPC);
    bool ok = true;
    const std::string out = captured([&] { ok = run_group(pak, folder); });
    EXPECT_FALSE(ok) << "write " << countdown;
    const std::string failed_at = countdown == 1 ? "Can't group file " + member_path(folder, 1)
                                                 : "Can't write data file " + pak;
    EXPECT_NE(out.find(failed_at + "\n"), std::string::npos) << out;
    EXPECT_EQ(read_file(pak), original) << "write " << countdown;
  }

  // A failed close comes after everything is on disk: reported, but the
  // new pack stands.
  write_file(pak, original);
  platform::fail_write_after(5, EIO);
  bool ok = true;
  const std::string out = captured([&] { ok = run_group(pak, folder); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(out, "Packing...\n" + member_path(folder, 1) + "\nCan't write data file " + pak + "\n");
  EXPECT_EQ(read_file(pak).size(), original.size() + 7);

  // And with no fault the same run succeeds.
  write_file(pak, original);
  captured([&] { ok = run_group(pak, folder); });
  EXPECT_TRUE(ok);
}

TEST_F(Faults, ExpandCloseFailureRemovesTheMemberFile) {
  PackBuilder pack;
  pack.stored(bytes_of("stored")).lzo1x(text_like_bytes(1000, 1));
  pack.write(tmp_ / "t.pak");
  platform::MappedView view;
  ASSERT_EQ(platform::map_file_shared(tmp_ / "t.pak", &view), platform::MapStatus::kOk);
  DecodeBuffer buffer;
  const std::vector<PakEntry> dir = pack.directory();

  // Stored: the write is call 1, the close call 2.
  platform::fail_write_after(2, EIO);
  std::string out = captured([&] { expand_entry(tmp_ / "0.dat", dir[0], view, &buffer); });
  EXPECT_EQ(out, "Unpacked file \nCan't write file " + tmp_ / "0.dat" + "\n");
  EXPECT_FALSE(file_exists(tmp_ / "0.dat"));

  // lzo1x: nothing is printed before the write, so no line is left open.
  for (int countdown : {1, 2}) {
    platform::fail_write_after(countdown, EIO);
    out = captured([&] { expand_entry(tmp_ / "1.dat", dir[1], view, &buffer); });
    EXPECT_EQ(out, "Can't write file " + tmp_ / "1.dat" + "\n");
    EXPECT_FALSE(file_exists(tmp_ / "1.dat"));
  }
  platform::release_view(&view);
}

}  // namespace
}  // namespace radodaro::testing
