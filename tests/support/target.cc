#include "support/target.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string_view>

#include "support/run.h"

namespace radodaro::testing {

const Target& Target::current() {
  static const Target target = [] {
    Target t;
    const char* chosen = std::getenv("RADODARO_TEST_TARGET");
    t.windows_ = chosen != nullptr && std::string_view(chosen) == "wine";
    t.binary_ = binary_under_test();
    if (const char* wine = std::getenv("RADODARO_WINE")) t.wine_ = wine;
    return t;
  }();
  return target;
}

std::vector<std::string> Target::command() const {
  if (!windows_) return {binary_};
  return {"/bin/bash", wine_, "run", binary_};
}

std::string Target::program_path(const std::string& path) const {
  if (!windows_ || path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

bool Target::ended_by_interrupt(int status) const {
  if (windows_) return WIFEXITED(status) && WEXITSTATUS(status) == 0x3A;
  return WIFSIGNALED(status);
}

int Target::interrupt_signal(int wanted) const { return windows_ ? SIGINT : wanted; }

std::string Target::host_text(const std::string& printed) const {
  if (!windows_) return printed;
  std::string lines;
  for (size_t i = 0; i < printed.size(); ++i) {
    if (printed[i] == '\r' && i + 1 < printed.size() && printed[i + 1] == '\n') continue;
    if (printed[i] == '\n' && (i == 0 || printed[i - 1] != '\r')) {
      lines += "<LF without CR>";
    }
    lines += printed[i];
  }
  std::string out;
  for (size_t i = 0; i < lines.size();) {
    // In JSON, each backslash of a path is escaped: "Z:\\tmp\\x".
    if (lines.compare(i, 4, "Z:\\\\") == 0) {
      size_t end = lines.find_first_of(" \t\r\n\"", i);
      if (end == std::string::npos) end = lines.size();
      std::string path = lines.substr(i + 2, end - i - 2);
      std::string host;
      for (size_t j = 0; j < path.size(); ++j) {
        const bool escaped = path.compare(j, 2, "\\\\") == 0;
        host += escaped ? '/' : path[j];
        j += escaped ? 1 : 0;
      }
      out += host.find('\\') == std::string::npos ? host : lines.substr(i, end - i);
      i = end;
      continue;
    }
    if (lines.compare(i, 3, "Z:\\") != 0) {
      out += lines[i++];
      continue;
    }
    size_t end = lines.find_first_of(" \t\r\n", i);
    if (end == std::string::npos) end = lines.size();
    std::string path = lines.substr(i + 2, end - i - 2);
    // A path that mixes separators stays as printed, and fails.
    if (path.find('/') == std::string::npos) {
      for (char& c : path) {
        if (c == '\\') c = '/';
      }
      out += path;
    } else {
      out += lines.substr(i, end - i);
    }
    i = end;
  }
  return out;
}

}  // namespace radodaro::testing
