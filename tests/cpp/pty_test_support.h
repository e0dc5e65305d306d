// What the tests of the PTY layer share: a temporary folder for child
// scripts, reading a file whole, and reading a master until a marker.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace morvik::test {

using Clock = std::chrono::steady_clock;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/morvik-pty-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

  // An executable /bin/sh script with the given body.
  std::string script(const std::string& name, const std::string& body) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), 0755);
    return file;
  }

 private:
  std::string path_;
};

inline long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// How many descriptors this process has open (the listing's own left out).
inline int open_fd_count() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
  ::closedir(dir);
  return n - 1;
}

// Reads the master until `marker` shows up, the terminal closes or time
// runs out; returns everything read.
inline std::string read_until(int fd, const std::string& marker,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  std::string out;
  const auto deadline = Clock::now() + timeout;
  while (out.find(marker) == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace morvik::test
