#include "channel_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace gwlib::channel {

bool name_is_valid(const char *name) {
    if (name == nullptr) return false;
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        if (length >= kMaxNameLength) return false;
        const char c = name[length];
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return length > 0;
}

std::string path_of(const char *name) { return std::string(kDirectory) + '/' + name; }

std::vector<std::string> list() {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(kDirectory), closedir);
    if (!dir) return names;
    while (const dirent *entry = readdir(dir.get())) {
        if (!name_is_valid(entry->d_name)) continue;  // temporary files, semaphores, other users' files
        struct stat st {};
        if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            names.emplace_back(entry->d_name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace gwlib::channel
