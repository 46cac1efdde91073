#include "scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace radodaro::fuzz {

const std::string& scratch() {
  static const std::string folder = [] {
    char pattern[] = "/dev/shm/radodaro-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    return std::string(pattern) + "/";
  }();
  return folder;
}

void remove_folder(const std::string& folder) {
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(folder.c_str());
}

void write_bytes(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace radodaro::fuzz
