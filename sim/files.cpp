#include "sim/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace sim {
namespace {

bool write_all(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path) == 0 ? 0 : -1;
}

}  // namespace

TempDir::TempDir() {
  char templ[] = "/tmp/lumo-test-XXXXXX";
  const char* made = mkdtemp(templ);
  dir_ = made == nullptr ? "" : made;
}

TempDir::~TempDir() {
  if (!dir_.empty()) remove_tree(dir_);
}

std::optional<std::string> read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return out;
}

bool write_file(const std::string& path, const std::string& content) {
  make_parent_dirs(path);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, content);
  return close(fd) == 0 && ok;
}

bool write_file_atomic(const std::string& path, const std::string& content) {
  make_parent_dirs(path);
  std::string temp = path + ".sim-tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, content);
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

bool make_dirs(const std::string& dir) {
  if (dir.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos <= dir.size()) {
    size_t next = dir.find('/', pos);
    if (next == std::string::npos) next = dir.size();
    partial = dir.substr(0, next);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    pos = next + 1;
  }
  return is_directory(dir);
}

bool make_parent_dirs(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return make_dirs(path.substr(0, slash));
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool directory_is_empty(const std::string& dir) { return list_directory(dir).empty(); }

bool remove_tree(const std::string& dir) {
  if (!path_exists(dir)) return true;
  return nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

bool copy_file(const std::string& from, const std::string& to) {
  std::optional<std::string> content = read_file(from);
  return content && write_file(to, *content);
}

std::vector<std::string> list_directory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string absolute_path(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) != nullptr) full = std::string(cwd) + "/" + full;
  }
  // Normalise "." and ".." and repeated slashes without touching the disk.
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t next = full.find('/', pos);
    if (next == std::string::npos) next = full.size();
    std::string part = full.substr(pos, next - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + (name.size() > 0 && name[0] == '/' ? name.substr(1) : name);
  return dir + (name.size() > 0 && name[0] == '/' ? name : "/" + name);
}

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int64_t wall_ms() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
  if (ms <= 0) return;
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool parse_int(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (text[j] < '0' || text[j] > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  *out = v;
  return true;
}

bool parse_int(const std::string& text, int* out) {
  int64_t v;
  if (!parse_int(text, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

std::vector<std::string> complete_lines(const std::string& text, bool strip_cr) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t nl = text.find('\n'); nl != std::string::npos; pos = nl + 1, nl = text.find('\n', pos)) {
    size_t end = strip_cr && nl > pos && text[nl - 1] == '\r' ? nl - 1 : nl;
    lines.push_back(text.substr(pos, end - pos));
  }
  return lines;
}

std::string trim_sysfs(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\0' || text[end - 1] == '\r')) --end;
  return text.substr(0, end);
}

}  // namespace sim
