// The key wait at an existing member file, run under a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "e2e/e2e_util.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

// radodaro running with a pseudo-terminal as its controlling terminal,
// standard output on a pipe and standard input on a pipe that holds keys the
// tool must not take.
class TerminalRun {
 public:
  explicit TerminalRun(const std::vector<std::string>& args) {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty");
    int out[2], in[2];
    if (::pipe(out) != 0 || ::pipe(in) != 0) throw std::runtime_error("pipe");
    (void)!::write(in[1], "stdin keys\n", 11);
    ::close(in[1]);
    std::vector<std::string> keep = {binary_under_test()};
    keep.insert(keep.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : keep) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      ::ioctl(slave_, TIOCSCTTY, 0);
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(out[1], STDERR_FILENO);
      ::close(master_);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    out_ = out[0];
  }
  ~TerminalRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(master_);
    ::close(slave_);
  }

  // Reads output until it holds `text`; false after five seconds.
  bool wait_for(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (output_.find(text) == std::string::npos) {
      const auto left = deadline - std::chrono::steady_clock::now();
      const int ms =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
      if (ms <= 0) return false;
      pollfd p = {out_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return output_.find(text) != std::string::npos;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  // True when the process is still running after `ms` milliseconds.
  bool still_waiting(int ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
    return ::waitpid(pid_, nullptr, WNOHANG) == 0;
  }

  void type(const std::string& keys) {
    ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  void signal(int sig) { ::kill(pid_, sig); }

  // As a shell does when it takes the terminal back from a stopped job.
  void set_settings(const termios& t) { ::tcsetattr(slave_, TCSANOW, &t); }

  termios settings() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return t;
  }

  int finish() {
    wait_for("\x01never printed");
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  const std::string& output() const { return output_; }

  // What the terminal showed of its own accord, such as echoed keys.
  std::string echoed() {
    std::string shown;
    char buf[256];
    pollfd p = {master_, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      shown.append(buf, static_cast<size_t>(n));
    }
    return shown;
  }

 private:
  int master_ = -1, slave_ = -1, out_ = -1;
  pid_t pid_ = -1;
  std::string output_;
};

class KeyWait : public ::testing::Test {
 protected:
  void SetUp() override {
    RADODARO_SKIP_ON_WINDOWS(kNeedsTerminal);
    pack_.stored(bytes_of("a")).stored(bytes_of("b")).stored(bytes_of("c"));
    pack_.write(tmp_ / "t.pak");
    ASSERT_EQ(run_radodaro({"/e", tmp_ / "t.pak", tmp_ / "out"}).exit_code, 0);
    ::unlink(member(tmp_ / "out", 2).c_str());
  }
  TempDir tmp_;
  PackBuilder pack_;
};

TEST_F(KeyWait, EachExistingFileWaitsForAKeyWithoutEcho) {
  TerminalRun run({"/e", tmp_ / "t.pak", tmp_ / "out"});
  const termios before = run.settings();
  ASSERT_TRUE(before.c_lflag & ECHO);
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 0) + " alredy exists\n"));
  // Keys on standard input do not end the wait; only the terminal's do.
  EXPECT_TRUE(run.still_waiting(150));
  EXPECT_FALSE(run.settings().c_lflag & ECHO);
  EXPECT_FALSE(run.settings().c_lflag & ICANON);
  EXPECT_EQ(run.output().find(member(tmp_ / "out", 1)), std::string::npos);

  run.type("x");
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 1) + " alredy exists\n"));
  EXPECT_TRUE(run.still_waiting(50));
  run.type("\x1b[A");  // an arrow key: one key, though three bytes
  const int status = run.finish();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(run.output().find(member(tmp_ / "out", 2) + "\n"), std::string::npos);
  EXPECT_EQ(run.echoed().find('x'), std::string::npos);
  const termios after = run.settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(read_file(member(tmp_ / "out", 0)), bytes_of("a"));
}

TEST_F(KeyWait, EscapeSequenceWhoseTailArrivesLateIsOneKey) {
  TerminalRun run({"/e", tmp_ / "t.pak", tmp_ / "out"});
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 0) + " alredy exists\n"));
  run.type("\x1b");
  ::usleep(200 * 1000);
  run.type("[A");
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 1) + " alredy exists\n"));
  // The tail did not end the second wait.
  EXPECT_TRUE(run.still_waiting(400));
  run.type("y");
  EXPECT_EQ(WEXITSTATUS(run.finish()), 0);
}

TEST_F(KeyWait, StopAndContinueTakesUpTheKeyWaitAgain) {
  TerminalRun run({"/e", tmp_ / "t.pak", tmp_ / "out"});
  const termios cooked = run.settings();
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 0) + " alredy exists\n"));
  ASSERT_TRUE(run.still_waiting(50));
  run.signal(SIGSTOP);
  ::usleep(50 * 1000);
  run.set_settings(cooked);  // the shell's own settings, echo on
  run.signal(SIGCONT);
  ::usleep(100 * 1000);
  EXPECT_FALSE(run.settings().c_lflag & ECHO);
  EXPECT_FALSE(run.settings().c_lflag & ICANON);
  // One key, no Enter, ends one wait.
  run.type("x");
  ASSERT_TRUE(run.wait_for(member(tmp_ / "out", 1) + " alredy exists\n"));
  EXPECT_TRUE(run.still_waiting(100));
  run.type("y");
  EXPECT_EQ(WEXITSTATUS(run.finish()), 0);
  EXPECT_EQ(run.echoed().find('x'), std::string::npos);
}

TEST_F(KeyWait, CtrlCEndsTheRunAndRestoresTheTerminal) {
  TerminalRun run({"/e", tmp_ / "t.pak", tmp_ / "out"});
  const termios before = run.settings();
  ASSERT_TRUE(run.wait_for("alredy exists\n"));
  ASSERT_TRUE(run.still_waiting(50));
  EXPECT_FALSE(run.settings().c_lflag & ECHO);
  run.type("\x03");
  const int status = run.finish();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(run.settings().c_lflag, before.c_lflag);
  EXPECT_FALSE(file_exists(member(tmp_ / "out", 2)));
}

// With workers decoding and writing ahead, the wait still comes at the
// member's turn: the ones before it are written, none after it is named
// until the key, and nothing of ours is left at the end.
TEST(KeyWaitWithWorkers, NoMemberAfterTheWaitingOneIsNamedBeforeTheKey) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsTerminal);
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 64; ++i) pack.lzo1x(text_like_bytes(4000 + i * 300, i));
  pack.write(tmp / "t.pak");
  ::mkdir((tmp / "out").c_str(), 0777);
  write_file(member(tmp / "out", 5), bytes_of("mine"));
  ASSERT_EQ(::setenv("RADODARO_JOBS", "4", 1), 0);
  TerminalRun run({"/e", tmp / "t.pak", tmp / "out"});
  ::unsetenv("RADODARO_JOBS");
  ASSERT_TRUE(run.wait_for(member(tmp / "out", 5) + " alredy exists\n"));
  EXPECT_TRUE(run.still_waiting(200));
  std::vector<std::string> expected;
  for (uint32_t i = 0; i <= 5; ++i) expected.push_back(member_name(i));
  // Where files cannot be made unnamed, those written ahead wait under
  // temporary names of ours.
  std::vector<std::string> named = list_folder(tmp / "out");
  std::erase_if(named, [](const std::string& n) { return n.find(".radodaro-") != n.npos; });
  EXPECT_EQ(named, expected);
  EXPECT_EQ(run.output().find(member(tmp / "out", 6)), std::string::npos);
  run.type("x");
  // No other wait: the run ends on its own.
  ASSERT_TRUE(run.wait_for(member(tmp / "out", 63) + "\n"));
  EXPECT_EQ(WEXITSTATUS(run.finish()), 0);
  EXPECT_EQ(list_folder(tmp / "out").size(), 64u);
  EXPECT_EQ(read_file(member(tmp / "out", 5)), bytes_of("mine"));
}

// What radodaro drew on a terminal that is its standard error (standard
// output on a pipe), with `environment` set for it.
struct DrawnRun {
  std::string terminal;
  std::string out;
  int exit_code = -1;
};

DrawnRun run_on_terminal(const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& environment) {
  int master = -1, slave = -1, out[2];
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || ::pipe(out) != 0) {
    throw std::runtime_error("openpty");
  }
  std::vector<std::string> keep = {binary_under_test()};
  keep.insert(keep.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : keep) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, STDERR_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(master);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(slave);
  ::close(out[1]);
  DrawnRun run;
  char buf[4096];
  // The terminal ends (EIO) when the run and its slave side are gone.
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) run.terminal.append(buf, n);
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) run.out.append(buf, n);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  ::close(master);
  ::close(out[0]);
  return run;
}

// The progress line: on a terminal once the run has lasted long enough,
// never into a pipe unless asked for, never when turned off, and always
// cleared at the end, so that the terminal shows nothing of it afterwards.
TEST(ProgressLine, OnATerminalOnlyAndClearedAtTheEnd) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsTerminal);
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 6; ++i) pack.lzo1x(text_like_bytes(3000, i));
  pack.true_dir_crc().write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "m"}).exit_code, 0);
  write_file(member(tmp / "m", 4), bytes_of("edited"));
  const std::vector<std::pair<std::string, std::string>> at_once = {
      {"RADODARO_PROGRESS_AFTER", "0"}};
  const struct {
    std::vector<std::string> args;
    bool terminal;
    std::vector<std::pair<std::string, std::string>> environment;
    bool drawn;
  } cases[] = {
      {{"--verify", "@t.pak"}, true, at_once, true},
      {{"--expand", "@t.pak", "@x"}, true, at_once, true},
      {{"--update", "@t.pak", "@m", "--dry-run"}, true, at_once, true},
      {{"--verify", "@t.pak", "--no-progress"}, true, at_once, false},
      // A run shorter than about a second shows nothing.
      {{"--verify", "@t.pak"}, true, {}, false},
      {{"--verify", "@t.pak"}, false, at_once, false},
      {{"--verify", "@t.pak", "--progress"}, false, {}, true},
      {{"--verify", "@t.pak", "--progress", "--no-progress"}, false, {}, false},
      // The original modes never draw it.
      {{"/e", "@t.pak", "@y"}, true, at_once, false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? tmp / a.substr(1) : a);
    std::string shown, out;
    if (c.terminal) {
      const DrawnRun run = run_on_terminal(args, c.environment);
      shown = run.terminal;
      out = run.out;
      EXPECT_EQ(run.exit_code, 0) << c.args[0];
    } else {
      const RunResult r = run_radodaro(args, {.environment = c.environment});
      shown = r.err;
      out = r.out;
      EXPECT_EQ(r.exit_code, 0) << c.args[0];
    }
    const std::string title =
        c.args[0] + " " + c.args.back() + (c.terminal ? " on a terminal" : "");
    if (c.args.back() == "--dry-run") shown = shown.substr(0, shown.rfind("radodaro: "));
    if (!c.drawn) {
      EXPECT_EQ(shown, "") << title;
      continue;
    }
    EXPECT_NE(shown.find("/6 entries, "), std::string::npos) << title << ": " << shown;
    EXPECT_NE(shown.find(" MiB"), std::string::npos) << title;
    EXPECT_EQ(shown.find('\n'), std::string::npos) << title;
    // Cleared: spaces over the last line drawn, the cursor back at its start.
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown.back(), '\r') << title;
    const size_t clear_from = shown.rfind('\r', shown.size() - 2);
    const size_t drawn_from = shown.rfind('\r', clear_from - 1);
    ASSERT_NE(drawn_from, std::string::npos) << title;
    EXPECT_EQ(shown.substr(clear_from + 1, shown.size() - clear_from - 2),
              std::string(shown.size() - clear_from - 2, ' '))
        << title;
    // Nothing of it reaches standard output.
    EXPECT_EQ(out.find("entries, "), std::string::npos) << title;
  }
}

// The lines that a progress run drew: the pieces between carriage returns
// that are not all blanks.
size_t redraws(const std::string& shown) {
  size_t drawn = 0;
  for (size_t at = 0, end; (end = shown.find('\r', at)) != std::string::npos; at = end + 1) {
    const std::string piece = shown.substr(at, end - at);
    drawn += piece.find_first_not_of(' ') != std::string::npos;
  }
  return drawn;
}

// At most five redraws a second, whatever the entries and whatever else
// is printed between them; and an interrupted run blanks the line out.
TEST(ProgressLine, FiveRedrawsASecondAtMostAndClearedWhenInterrupted) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsTerminal);
  TempDir tmp;
  PackBuilder pack;
  // The update leaves the old data of every other entry for --compact to
  // give back.
  for (uint32_t i = 0; i < 4000; ++i) pack.stored(bytes_of(std::to_string(i)));
  pack.true_dir_crc().write(tmp / "t.pak");
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "m"}).exit_code, 0);
  for (uint32_t i = 0; i < 4000; i += 2) write_file(member(tmp / "m", i), bytes_of("edited"));
  const std::vector<std::vector<std::string>> runs = {
      {"--verify", tmp / "t.pak"},
      {"--expand", "-v", tmp / "t.pak", tmp / "x"},
      {"--update", "-j2", tmp / "t.pak", tmp / "m"},
      {"--compact", tmp / "t.pak"},
  };
  for (std::vector<std::string> args : runs) {
    args.emplace_back("--progress");
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = run_radodaro(args);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.exit_code, 0) << args[0] << r.err;
    const size_t drawn = redraws(r.err.substr(0, r.err.rfind("radodaro: ")));
    EXPECT_GE(drawn, 1u) << args[0];
    EXPECT_LE(drawn, 1 + static_cast<size_t>(seconds * 5)) << args[0] << " in " << seconds << " s";
  }
  // Interrupted with the line showing: blanks over it, the cursor back at
  // the start of the line.
  TerminalRun run({"--expand", "--progress", "-j1", tmp / "t.pak", tmp / "y"});
  ASSERT_TRUE(run.wait_for(" entries, "));
  run.signal(SIGINT);
  const int status = run.finish();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  const std::string& shown = run.output();
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown.back(), '\r');
  const size_t blanks_from = shown.rfind('\r', shown.size() - 2) + 1;
  const std::string blanks = shown.substr(blanks_from, shown.size() - 1 - blanks_from);
  EXPECT_FALSE(blanks.empty());
  EXPECT_EQ(blanks.find_first_not_of(' '), std::string::npos) << shown.substr(blanks_from);
}

}  // namespace
}  // namespace radodaro::testing
