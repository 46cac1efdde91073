#include "support/run.h"

#include "support/json.h"
#include "support/target.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#ifndef RADODARO_BINARY
#error "RADODARO_BINARY must name the built binary"
#endif

namespace radodaro::testing {

namespace {

std::vector<char*> make_argv(const std::vector<std::string>& args, std::vector<std::string>* keep) {
  const Target& target = Target::current();
  *keep = target.command();
  // Paths reach the program in its own form; options ("/e") have no
  // second slash.
  for (const std::string& arg : args) {
    keep->push_back(arg.find('/', 1) != std::string::npos ? target.program_path(arg) : arg);
  }
  std::vector<char*> argv;
  for (auto& s : *keep) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

void drain(int out_fd, int err_fd, std::string* out, std::string* err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// Forks and runs the binary with `args` in a new session; `setup` arranges
// the child's files and limits before the exec.
template <typename Setup>
pid_t start(const std::vector<std::string>& args, Setup setup) {
  std::vector<std::string> keep;
  std::vector<char*> argv = make_argv(args, &keep);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setsid();
    setup();
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  const char* said = std::getenv("RADODARO_TEST_SANITIZED");
  return said != nullptr && std::string(said) == "1";
#endif
}

std::string binary_under_test() {
  const char* chosen = std::getenv("RADODARO_TEST_BINARY");
  return chosen != nullptr && *chosen != '\0' ? chosen : RADODARO_BINARY;
}

namespace {

// Every JSON line that any test sees, held to the schema: the output of a
// run with --json that ended (an interrupted one may end inside a line).
void check_json_lines(const std::vector<std::string>& args, const RunResult& result) {
  if (std::find(args.begin(), args.end(), "--json") == args.end() || result.signal != 0) return;
  try {
    for (const JsonObject& o : parse_json_lines(result.out)) {
      const std::string problems = schema_problems(o);
      if (!problems.empty()) ADD_FAILURE() << "JSON line off the schema: " << problems;
    }
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
}

}  // namespace

RunResult run_radodaro(const std::vector<std::string>& args, const RunOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  int in_pipe[2] = {-1, -1};
  if (options.stdin_never_ends && ::pipe2(in_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = start(args, [&] {
    int gone[2];
    if (options.stdout_reader_gone && ::pipe(gone) == 0) {
      ::close(gone[0]);
      ::dup2(gone[1], STDOUT_FILENO);
    } else if (options.stdout_path.empty()) {
      ::dup2(out_pipe[1], STDOUT_FILENO);
    } else {
      const int fd = ::open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, STDOUT_FILENO);
    }
    ::dup2(err_pipe[1], STDERR_FILENO);
    if (options.stdin_never_ends) {
      ::dup2(in_pipe[0], STDIN_FILENO);
    } else {
      const int null_fd = ::open("/dev/null", O_RDONLY);
      ::dup2(null_fd, STDIN_FILENO);
    }
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    if (options.time_limit_seconds != 0) ::alarm(options.time_limit_seconds);
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.memory_limit != 0) {
      const rlimit limit = {options.memory_limit, options.memory_limit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    if (options.file_size_limit != 0) {
      const rlimit limit = {options.file_size_limit, options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.unprivileged && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
        ::_exit(125);
      }
    }
    if (options.close_standard_streams) {
      for (int fd = 0; fd <= 2; ++fd) ::close(fd);
    }
  });
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  RunResult result;
  drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (in_pipe[0] >= 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
  }
  result.raw_out = result.out;
  result.out = Target::current().host_text(result.out);
  result.err = Target::current().host_text(result.err);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  check_json_lines(args, result);
  return result;
}

pid_t spawn_radodaro(const std::vector<std::string>& args, const std::string& stdout_path) {
  return start(args, [&stdout_path] {
    const int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(stdout_path.empty() ? null_fd
                               : ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
           STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
  });
}

}  // namespace radodaro::testing
