// Usage: peak_memory COMMAND [ARG...]
// Runs the command with its output discarded and prints, in KiB, the peak of
// its anonymous memory (sampled from /proc every half millisecond) and its
// peak resident size (as the kernel counts it), as "anon_kib rss_kib".
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

static long rss_anon_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_memory COMMAND [ARG...]\n");
    return 2;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  long peak_anon = 0;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    const long anon = rss_anon_kib(pid);
    if (anon > peak_anon) peak_anon = anon;
    ::usleep(500);
  }
  std::printf("%ld %ld\n", peak_anon, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
