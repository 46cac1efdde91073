// Grouping member files back into packs, checked byte for byte against a
// model of what the pack must become.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "commands/group.h"
#include "e2e/e2e_util.h"
#include "support/sample_pack.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

// Runs /p on the pack and checks its bytes and output against the model.
void group_and_check(const TempDir& tmp, const std::string& folder = "out") {
  std::string printed;
  const Bytes want = model_group(read_file(tmp / "t.pak"), tmp / folder, &printed);
  const RunResult r = run_radodaro({"/p", tmp / "t.pak", tmp / folder});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, printed);
  EXPECT_EQ(read_file(tmp / "t.pak"), want);
}

TEST(Group, TypicalRunAppendsEditedAndKeepsTheRest) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("first")).skipped(bytes_of("skip me")).lzo1x(text_like_bytes(3000, 1));
  pack.write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "out"}).exit_code, 0);
  ::unlink(member(tmp / "out", 0).c_str());
  write_file(member(tmp / "out", 2), bytes_of("edited third entry"));

  const Bytes before = read_file(tmp / "t.pak");
  group_and_check(tmp);
  const Bytes after = read_file(tmp / "t.pak");
  ASSERT_EQ(after.size(), before.size() + 18);
  const PakEntry e = decode_entry(after.data() + entry_position(2));
  EXPECT_EQ(e.kind, kKindStored);
  EXPECT_EQ(e.offset, before.size());
  EXPECT_EQ(e.crc1, pack.directory()[2].crc1);  // never changed

  // The next expand gives the edit for entry 2 and the old entry 0.
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "again"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(member(tmp / "again", 0)), bytes_of("first"));
  EXPECT_EQ(read_file(member(tmp / "again", 2)), bytes_of("edited third entry"));
  EXPECT_FALSE(file_exists(member(tmp / "again", 1)));
}

TEST(Group, RoundTripOfEveryKindKeepsContents) {
  TempDir tmp;
  PackBuilder pack;
  pack.lzo1x(text_like_bytes(70000, 2)).lzo1x(text_like_bytes(5, 3), LzoLevel::kBest);
  pack.stored(random_bytes(3 * 1024 * 1024 + 1, 4)).stored({}).skipped().lzo1x({});
  pack.stored(bytes_of("kind nine"));
  pack.last().kind = 9;
  pack.write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "out"}).exit_code, 0);
  group_and_check(tmp);
  const Bytes grouped = read_file(tmp / "t.pak");
  for (uint32_t i = 0; i < 7; ++i) {
    const PakEntry e = decode_entry(grouped.data() + entry_position(i));
    EXPECT_EQ(e.kind, i == 4 ? kKindSkipped : kKindStored);
  }
  const RunResult r = run_radodaro({"/e", tmp / "t.pak", tmp / "again"});
  EXPECT_EQ(r.exit_code, 0);
  for (uint32_t i = 0; i < 7; ++i) {
    if (i == 4) continue;
    EXPECT_EQ(read_file(member(tmp / "again", i)), read_file(member(tmp / "out", i)));
  }
  // SUMM equals CRC2 for every entry that group wrote.
  EXPECT_EQ(r.out.find("Warning"), std::string::npos);
}

TEST(Group, TwiceGrowsByTheMembersAndPointsAtTheSecondCopies) {
  TempDir tmp;
  sample_pack().write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "out"}).exit_code, 0);
  uint64_t members = 0;
  for (const auto& name : list_folder(tmp / "out"))
    members += read_file(tmp / "out" + "/" + name).size();
  const uint64_t size0 = read_file(tmp / "t.pak").size();
  group_and_check(tmp);
  EXPECT_EQ(read_file(tmp / "t.pak").size(), size0 + members);
  group_and_check(tmp);
  EXPECT_EQ(read_file(tmp / "t.pak").size(), size0 + 2 * members);
}

TEST(Group, EmptyMemberFile) {
  TempDir tmp;
  PackBuilder().stored(bytes_of("will be emptied")).write(tmp / "t.pak");
  ::mkdir((tmp / "out").c_str(), 0777);
  write_file(member(tmp / "out", 0), {});
  const uint64_t size0 = read_file(tmp / "t.pak").size();
  group_and_check(tmp);
  const PakEntry e = decode_entry(read_file(tmp / "t.pak").data() + entry_position(0));
  EXPECT_EQ(e.unpacked_size, 0u);
  EXPECT_EQ(e.packed_size, 0u);
  EXPECT_EQ(e.crc2, 0u);
  EXPECT_EQ(e.offset, size0);
}

TEST(Group, NoMemberFilesChangesOnlyDirCrc) {
  TempDir tmp;
  PackBuilder pack;
  pack.dir_crc(0x12345678).lead_bytes(bytes_of("LEADLEAD"));
  pack.stored(bytes_of("a")).lzo1x(text_like_bytes(100, 1));
  // Folders that hold no member: one that is not there, one whose name
  // cannot exist, one behind a file.
  for (const std::string& folder :
       {tmp / "nothing-here", tmp / std::string(300, 'x'), tmp / "t.pak/m"}) {
    pack.write(tmp / "t.pak");
    const Bytes before = read_file(tmp / "t.pak");
    const RunResult r = run_radodaro({"/p", tmp / "t.pak", folder});
    EXPECT_EQ(r.out, "Packing...\n") << folder;
    EXPECT_EQ(r.exit_code, 0) << folder;
    Bytes want = before;
    encode_fixed32(want.data() + kDirCrcOffset,
                   Crc32().crc32(before.data() + kHeaderSize, 2 * kEntrySize));
    EXPECT_EQ(read_file(tmp / "t.pak"), want) << folder;
  }
}

TEST(Group, SkippedOutOfRangeAndNonRegularMembersAreNeverPacked) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsLinuxLinks);
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("zero")).skipped(bytes_of("one")).stored(bytes_of("two"));
  pack.stored(bytes_of("three")).stored(bytes_of("four")).stored(bytes_of("five"));
  pack.write(tmp / "t.pak");
  const std::string o = tmp / "out";
  ::mkdir(o.c_str(), 0777);
  write_file(member(o, 1), bytes_of("for a skipped entry"));
  ::mkdir(member(o, 2).c_str(), 0777);   // a folder
  ::mkfifo(member(o, 3).c_str(), 0666);  // a FIFO: must not block
  // A socket, and a link that leads to itself: neither can be read as a
  // file, so neither is a member.
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", member(o, 4).c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::symlink(member(o, 5).c_str(), member(o, 5).c_str());
  write_file(member(o, 6), bytes_of("beyond entry_count"));
  write_file(o + "/00000003.DAT", bytes_of("upper case"));
  write_file(tmp / "real", bytes_of("through a link"));
  ::symlink((tmp / "real").c_str(), member(o, 0).c_str());  // links to files count
  group_and_check(tmp);
  const Bytes after = read_file(tmp / "t.pak");
  EXPECT_EQ(after.size(), pack.build().size() + 14);
  EXPECT_EQ(decode_header(after.data()).entry_count, 6u);

  // --update says which files it does not use, and why.
  const RunResult r = run_radodaro({"--update", tmp / "t.pak", o});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "radodaro: " + o + "/00000001.dat: not used: entry 1 is skipped\n" +
                       "radodaro: " + o + "/00000003.DAT: not used: not a member name (member " +
                       "names are 00000003.dat in lower case)\n" + "radodaro: " + o +
                       "/00000006.dat: not used: the pack has no entry 6 (it has 6)\n" +
                       "radodaro: nothing changed\n");
  ::close(sock);
}

TEST(Group, PackTooShortForItsDirectoryIsUntouched) {
  TempDir tmp;
  const Bytes good = sample_pack().build();
  const std::vector<Bytes> cases = {{},
                                    Bytes(good.begin(), good.begin() + 10),
                                    Bytes(good.begin(), good.begin() + 60),
                                    PackBuilder().entry_count(0xFFFFFFFF).build(),
                                    PackBuilder().entry_count(178956971).build()};
  ::mkdir((tmp / "out").c_str(), 0777);
  write_file(member(tmp / "out", 0), bytes_of("member"));
  for (const Bytes& bytes : cases) {
    write_file(tmp / "t.pak", bytes);
    const RunResult r = run_radodaro({"/p", tmp / "t.pak", tmp / "out"});
    EXPECT_EQ(r.out, "Bad data file " + tmp / "t.pak" + "\n");
    EXPECT_EQ(r.exit_code, kFailure);
    EXPECT_EQ(read_file(tmp / "t.pak"), bytes);
  }
}

TEST(Group, PackThatCannotBeOpenedForUpdate) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  ::mkdir((tmp / "folder").c_str(), 0777);
  ::mkfifo((tmp / "fifo").c_str(), 0666);
  for (const std::string& pak : {tmp / "missing", tmp / "folder", tmp / "fifo"}) {
    const RunResult r = run_radodaro({"/p", pak, tmp / "out"});
    EXPECT_EQ(r.out, "Can't create data file " + pak + "\n");
    EXPECT_EQ(r.exit_code, kFailure);
  }
  sample_pack().write(tmp / "ro.pak");
  ::chmod((tmp / "ro.pak").c_str(), 0444);
  const RunResult r = run_radodaro({"/p", tmp / "ro.pak", tmp / "out"}, {.unprivileged = true});
  EXPECT_EQ(r.out, "Can't create data file " + tmp / "ro.pak" + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
}

TEST(Group, WriteFailureLeavesThePackByteForByte) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsResourceLimit);
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("a")).stored(bytes_of("b")).stored(bytes_of("c"));
  pack.write(tmp / "t.pak");
  const Bytes before = read_file(tmp / "t.pak");
  ::mkdir((tmp / "out").c_str(), 0777);
  write_file(member(tmp / "out", 0), random_bytes(3000, 1));
  write_file(member(tmp / "out", 1), random_bytes(300000, 2));  // crosses the limit
  write_file(member(tmp / "out", 2), random_bytes(10, 3));
  const RunResult r = run_radodaro({"/p", tmp / "t.pak", tmp / "out"}, {.file_size_limit = 100000});
  EXPECT_EQ(r.out, "Packing...\n" + member(tmp / "out", 0) + "\nCan't group file " +
                       member(tmp / "out", 1) + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
  // --update says it on stderr, with nothing on stdout but the members it
  // appended.
  const RunResult u =
      run_radodaro({"--update", tmp / "t.pak", tmp / "out"}, {.file_size_limit = 100000});
  EXPECT_EQ(u.out, member(tmp / "out", 0) + "\n");
  EXPECT_EQ(u.err, "radodaro: " + member(tmp / "out", 1) +
                       ": could not be read whole and appended; the pack stays as it was\n");
  EXPECT_EQ(u.exit_code, kFailure);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
}

TEST(Group, TwoGibLimitIsRefusedWithoutWriting) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("a")).stored(bytes_of("b"));
  pack.write(tmp / "t.pak");
  const Bytes before = read_file(tmp / "t.pak");
  const std::string o = tmp / "out";
  ::mkdir(o.c_str(), 0777);

  // A sparse member file of exactly 2 GiB: refused before a byte is read.
  write_file(member(o, 1), {});
  ASSERT_EQ(::truncate(member(o, 1).c_str(), static_cast<off_t>(kPackLimit)), 0);
  RunResult r = run_radodaro({"/p", tmp / "t.pak", o});
  EXPECT_EQ(r.out, "Packing...\nCan't group file " + member(o, 1) + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
  r = run_radodaro({"--update", tmp / "t.pak", o});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "radodaro: " + member(o, 1) +
                       ": 2147483648 bytes would take the pack to 2 GiB, where no offset can "
                       "point; the pack stays as it was\n");
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
  ::unlink(member(o, 1).c_str());

  // A sparse pack 10 bytes short of 2 GiB takes 9 bytes more, not 10.
  const off_t big = static_cast<off_t>(kPackLimit - 10);
  ASSERT_EQ(::truncate((tmp / "t.pak").c_str(), big), 0);
  write_file(member(o, 0), bytes_of("ten bytes!"));
  r = run_radodaro({"/p", tmp / "t.pak", o});
  EXPECT_EQ(r.out, "Packing...\nCan't group file " + member(o, 0) + "\n");
  EXPECT_EQ(r.exit_code, kFailure);
  struct stat st;
  ASSERT_EQ(::stat((tmp / "t.pak").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, big);

  write_file(member(o, 0), bytes_of("nine byte"));
  r = run_radodaro({"/p", tmp / "t.pak", o});
  EXPECT_EQ(r.out, "Packing...\n" + member(o, 0) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(::stat((tmp / "t.pak").c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), kPackLimit - 1);
  const int fd = ::open((tmp / "t.pak").c_str(), O_RDONLY);
  uint8_t record[kEntrySize];
  ASSERT_EQ(::pread(fd, record, kEntrySize, static_cast<off_t>(entry_position(0))), 24);
  ::close(fd);
  EXPECT_EQ(decode_entry(record).offset, static_cast<uint32_t>(big));
  ::unlink((tmp / "t.pak").c_str());
}

TEST(Group, KilledAtAnyMomentLeavesOldOrNewContents) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 64; ++i) pack.lzo1x(text_like_bytes(48 * 1024, i));
  const Bytes original = pack.build();
  const std::string o = tmp / "out";
  ::mkdir(o.c_str(), 0777);
  for (uint32_t i = 0; i < 64; ++i) write_file(member(o, i), random_bytes(48 * 1024, 1000 + i));

  int killed_midway = 0;
  for (int round = 0; round < 24; ++round) {
    write_file(tmp / "t.pak", original);
    const pid_t pid = spawn_radodaro({"/p", tmp / "t.pak", o});
    std::this_thread::sleep_for(std::chrono::microseconds(round * 400));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed_midway;

    const std::string check = tmp / ("check" + std::to_string(round));
    const RunResult r = run_radodaro({"/e", tmp / "t.pak", check});
    ASSERT_EQ(r.exit_code, 0) << "round " << round;
    for (uint32_t i = 0; i < 64; ++i) {
      const Bytes got = read_file(member(check, i));
      ASSERT_TRUE(got == pack.entries()[i].content || got == read_file(member(o, i)))
          << "round " << round << " entry " << i;
    }
  }
  EXPECT_GT(killed_midway, 0);
}

TEST(Group, ConcurrentRunsNeverInterleave) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 16; ++i) pack.stored(random_bytes(1000, i));
  const std::string o = tmp / "out";
  ::mkdir(o.c_str(), 0777);
  for (uint32_t i = 0; i < 16; ++i) write_file(member(o, i), random_bytes(20000, 50 + i));
  for (int round = 0; round < 10; ++round) {
    const std::string check = tmp / "c" + std::to_string(round);
    pack.write(tmp / "t.pak");
    const pid_t a = spawn_radodaro({"/p", tmp / "t.pak", o});
    const pid_t b = spawn_radodaro({"/p", tmp / "t.pak", o});
    int sa = 0, sb = 0;
    ::waitpid(a, &sa, 0);
    ::waitpid(b, &sb, 0);
    const int ok = (WEXITSTATUS(sa) == 0) + (WEXITSTATUS(sb) == 0);
    ASSERT_GE(ok, 1);
    // One or two whole runs: the pack grew by the members once or twice.
    const uint64_t grown = read_file(tmp / "t.pak").size() - pack.build().size();
    EXPECT_EQ(grown, static_cast<uint64_t>(ok) * 16 * 20000);
    const RunResult r = run_radodaro({"/e", tmp / "t.pak", check});
    ASSERT_EQ(r.exit_code, 0);
    for (uint32_t i = 0; i < 16; ++i) {
      EXPECT_EQ(read_file(member(check, i)), read_file(member(o, i)));
    }
  }
}

}  // namespace
}  // namespace radodaro::testing
