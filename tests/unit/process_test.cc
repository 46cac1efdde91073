#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "commands/group.h"
#include "pak/entry_decoder.h"
#include "pak/pak_format.h"
#include "platform/posix_internal.h"
#include "support/pack_builder.h"
#include "support/run.h"

namespace radodaro::testing {
namespace {

TEST(Process, StandardOutputToAFileGetsA64KiBBuffer) {
  TempDir tmp;
  const std::string out = tmp / "out";
  EXPECT_EXIT(
      {
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT, 0666), STDOUT_FILENO);
        platform::prepare_process();
        // Held until the buffer is full, or flushed. (A build without a
        // stream of its own writes each line as it comes: its buffer dies
        // with an interrupted process.)
        const std::string line = std::string(999, 'x') + "\n";
        for (int i = 0; i < 65; ++i) std::fputs(line.c_str(), stdout);
        struct stat st;
        const off_t first = RADODARO_PORTABLE_BUILD ? 65000 : 0;
        const bool held = ::stat(out.c_str(), &st) == 0 && st.st_size == first;
        std::fputs(line.c_str(), stdout);
        const off_t then = RADODARO_PORTABLE_BUILD ? 66000 : 65000;
        const bool written = ::stat(out.c_str(), &st) == 0 && st.st_size == then;
        const bool flushed =
            platform::flush_output() && ::stat(out.c_str(), &st) == 0 && st.st_size == 66000;
        std::_Exit(held && written && flushed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ReadMapped, PastACutReadsZerosRunsToItsEndAndFails) {
  TempDir tmp;
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  write_file(tmp / "f", random_bytes(4 * page, 1));
  platform::MappedView view;
  ASSERT_EQ(platform::Env::system().map_shared(tmp / "f", &view), platform::Error::kOk);
  ASSERT_EQ(::truncate((tmp / "f").c_str(), static_cast<off_t>(page + page / 2)), 0);

  uint64_t nonzero = 0;
  const auto count = [&](const uint8_t* p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) nonzero += p[i] != 0;
  };
  EXPECT_TRUE(platform::read_mapped(view.data, page, [&] { count(view.data, page); }));
  bool ran_to_end = false;
  EXPECT_FALSE(platform::read_mapped(view.data, 4 * page, [&] {
    count(view.data, 4 * page);
    ran_to_end = true;
  }));
  EXPECT_TRUE(ran_to_end);
  // Whatever touches the lost part fails from now on; the rest reads on.
  EXPECT_FALSE(platform::read_mapped(view.data + 3 * page, 10, [] {}));
  EXPECT_TRUE(platform::read_mapped(view.data, page, [] {}));
  EXPECT_LT(nonzero, 3 * page);
}

// A reader on another thread that finds zeros where the file was also
// finds them recorded as lost: the record comes before the pages change.
TEST(ReadMapped, LostStretchIsRecordedBeforeItsPagesChange) {
  static constexpr uintptr_t kFrom = 0x7000000, kTo = 0x7003000;
  static bool recorded_first = false;
  const auto map = [](void*, uintptr_t length) {
    recorded_first = platform::posix::touches_zeroed(kFrom, kTo) && length == kTo - kFrom;
    return true;
  };
  EXPECT_TRUE(platform::posix::zero_pages(nullptr, kFrom, kTo, map));
  EXPECT_TRUE(recorded_first);
  EXPECT_TRUE(platform::posix::touches_zeroed(kFrom + 10, kFrom + 20));
  platform::posix::forget_faulted(reinterpret_cast<const uint8_t*>(kFrom), kTo - kFrom);
  EXPECT_FALSE(platform::posix::touches_zeroed(kFrom, kTo));
}

// Each thread's guarded read is its own: one that begins while another's
// is under way neither hides it nor is hidden by it.
TEST(ReadMapped, GuardsOfTwoThreadsAtOnce) {
  TempDir tmp;
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  write_file(tmp / "cut", random_bytes(4 * page, 1));
  write_file(tmp / "whole", random_bytes(4 * page, 2));
  platform::MappedView cut, whole;
  ASSERT_EQ(platform::Env::system().map_shared(tmp / "cut", &cut), platform::Error::kOk);
  ASSERT_EQ(platform::Env::system().map_shared(tmp / "whole", &whole), platform::Error::kOk);
  ASSERT_EQ(::truncate((tmp / "cut").c_str(), static_cast<off_t>(page)), 0);

  std::atomic<int> step{0};
  const auto wait_for = [&](int s) {
    while (step.load() < s) std::this_thread::yield();
  };
  volatile uint8_t sink = 0;
  bool cut_read = true, whole_read = false;
  // The first thread guards the cut file, lets the second guard the whole
  // one, and only then reads past the cut.
  std::thread first([&] {
    cut_read = platform::read_mapped(cut.data, 4 * page, [&] {
      step = 1;
      wait_for(2);
      for (uint64_t i = 0; i < 4 * page; i += page) sink = static_cast<uint8_t>(sink + cut.data[i]);
      step = 3;
    });
  });
  std::thread second([&] {
    wait_for(1);
    whole_read = platform::read_mapped(whole.data, 4 * page, [&] {
      step = 2;
      wait_for(3);
      for (uint64_t i = 0; i < 4 * page; ++i) sink = static_cast<uint8_t>(sink + whole.data[i]);
    });
  });
  first.join();
  second.join();
  EXPECT_FALSE(cut_read);
  EXPECT_TRUE(whole_read);
}

TEST(DecodeLzo1x, ReadCutShortLeavesNothingForTheNextEntryToShow) {
  TempDir tmp;
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const Bytes content = text_like_bytes(256 << 10, 1);
  const Bytes stream = lzo1x_compress(content);
  ASSERT_GT(stream.size(), 8 * page);
  write_file(tmp / "f", stream);
  platform::MappedView view;
  ASSERT_EQ(platform::Env::system().map_shared(tmp / "f", &view), platform::Error::kOk);
  // The pack is cut short under the decoder, which has written output by
  // then.
  ASSERT_EQ(::truncate((tmp / "f").c_str(), static_cast<off_t>(4 * page)), 0);
  DecodeBuffer buffer;
  PakEntry entry = {0, kKindLzo1x,
                    0, static_cast<uint32_t>(content.size()),
                    0, static_cast<uint32_t>(stream.size())};
  EXPECT_FALSE(decode_lzo1x(entry, view.data, &buffer).read);

  // The next entry's stream ends after a few bytes: the rest of its
  // unpacked size must be zeros, not what the cut one left.
  const Bytes short_stream = lzo1x_compress(bytes_of("a few bytes"));
  entry.packed_size = static_cast<uint32_t>(short_stream.size());
  const Decoded d = decode_lzo1x(entry, short_stream.data(), &buffer);
  ASSERT_TRUE(d.read);
  EXPECT_EQ(d.produced, 11u);
  EXPECT_TRUE(d.unpack_error());
  EXPECT_EQ(Bytes(d.data + 11, d.data + content.size()), Bytes(content.size() - 11, 0));
}

TEST(PosixErrors, EachSaysWhatHappened) {
  // What each means, and what the diagnostic then says: the system's own
  // words where the tool's would lose them.
  const struct {
    int error;
    platform::Error means;
    const char* says;
  } cases[] = {
      {ENOENT, platform::Error::kNotFound, "No such file or directory"},
      {ENOTDIR, platform::Error::kNotFound, "Not a directory"},
      {ENAMETOOLONG, platform::Error::kNotFound, "File name too long"},
      {EEXIST, platform::Error::kExists, "File exists"},
      {EWOULDBLOCK, platform::Error::kBusy, "Held by another process"},
      {ENOSPC, platform::Error::kNoSpace, "No space left on device"},
      {EFBIG, platform::Error::kNoSpace, "No space left on device"},
      {ENOMEM, platform::Error::kNoMemory, "Cannot allocate memory"},
      {EOPNOTSUPP, platform::Error::kUnsupported, "Operation not supported"},
      {EISDIR, platform::Error::kNotRegular, "Not a regular file"},
      {EINVAL, platform::Error::kIo, "Invalid argument"},
      {EMFILE, platform::Error::kIo, "Too many open files"},
      {ELOOP, platform::Error::kIo, "Too many levels of symbolic links"},
      {EFAULT, platform::Error::kIo, "Bad address"},
      {EACCES, platform::Error::kDenied, "Permission denied"},
      {EPERM, platform::Error::kDenied, "Permission denied"},
      {EROFS, platform::Error::kDenied, "Permission denied"},
  };
  for (const auto& c : cases) {
    const platform::Error e = platform::posix::from_errno(c.error);
    EXPECT_EQ(e, c.means) << c.error;
    EXPECT_STREQ(platform::reason(e), c.says) << c.error;
  }
}

TEST(Interruptions, AfterTheCommitTheyWaitUntilExit) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(bytes_of("old"));
  pack.write(tmp / "t.pak");
  std::filesystem::create_directories(tmp / "m");
  write_file(member_path(tmp / "m/", 0), bytes_of("new"));
  sigset_t before;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
  ::testing::internal::CaptureStdout();
  const bool ok = run_group(platform::Env::system(), tmp / "t.pak", tmp / "m/");
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok);
  sigset_t after;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  // A Ctrl-C now would end the run with a signal although the pack changed.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    EXPECT_TRUE(sigismember(&after, sig)) << sig;
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
}  // namespace radodaro::testing
