#include "static_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace web {

namespace {

const char *content_type(const std::string &name) {
  static const std::map<std::string, const char *> types = {
      {".html", "text/html; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"}, {".svg", "image/svg+xml"},
      {".png", "image/png"}, {".ico", "image/x-icon"}, {".json", "application/json"}};
  const std::size_t dot = name.rfind('.');
  auto it = dot == std::string::npos ? types.end() : types.find(name.substr(dot));
  return it == types.end() ? "application/octet-stream" : it->second;
}

struct DirClose {
  void operator()(DIR *dir) const { closedir(dir); }
};

bool read_file(int folder, const std::string &name, std::string &content) {
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= StaticFiles::kMaxFileSize;
  if (ok) {
    content.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (ok && done < content.size()) {
      const ssize_t got = read(fd, content.data() + done, content.size() - done);
      ok = got > 0;
      if (ok) done += static_cast<std::size_t>(got);
    }
  }
  close(fd);
  return ok;
}

}  // namespace

bool plain_file_name(const std::string &name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
  return true;
}

bool StaticFiles::load(const std::string &folder, std::string &problem) {
  const std::unique_ptr<DIR, DirClose> dir(opendir(folder.c_str()));
  if (!dir) {
    problem = "cannot read the page's folder " + folder;
    return false;
  }
  while (dirent *entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (!plain_file_name(name) || files_.size() >= kMaxFiles) continue;
    StaticFile file{"", content_type(name)};
    if (read_file(dirfd(dir.get()), name, file.content)) files_.emplace(name, std::move(file));
  }
  if (files_.count("index.html") == 0) {
    problem = "no index.html in " + folder;
    return false;
  }
  return true;
}

const StaticFile *StaticFiles::find(const std::string &path) const {
  if (path == "/") return &files_.at("index.html");
  if (path.size() < 2 || path.front() != '/') return nullptr;
  auto it = files_.find(path.substr(1));
  return it == files_.end() ? nullptr : &it->second;
}

}  // namespace web
