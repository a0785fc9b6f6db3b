// The page's files, read once at start from one folder into memory. Only these names are ever
// served: a request names one of them exactly or gets nothing, so no path, however it is
// written, reaches another file.
#pragma once

#include <map>
#include <string>

namespace web {

struct StaticFile {
  std::string content, content_type;
};

class StaticFiles {
 public:
  static constexpr std::size_t kMaxFiles = 64;
  static constexpr std::size_t kMaxFileSize = 1 << 20;

  // Loads the regular files of `folder` (not its subfolders, no links) whose names are plain
  // (letters, digits, '.', '_', '-', not starting with '.'). False with `problem` set when the
  // folder cannot be read or holds no index.html.
  bool load(const std::string &folder, std::string &problem);

  // The file for a request path: "/" is index.html, "/<name>" a loaded file; else null.
  const StaticFile *find(const std::string &path) const;

 private:
  std::map<std::string, StaticFile> files_;
};

bool plain_file_name(const std::string &name);

}  // namespace web
