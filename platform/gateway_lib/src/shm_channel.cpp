#include <fcntl.h>
#include <gateway_lib/shm_channel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channel_files.h"
#include "unique_fd.h"

namespace {

// A name no other writer or cleaner uses: the leading '.' keeps it out of the channel names.
std::string private_path(const char *name, const char *purpose) {
    static std::atomic<unsigned long> counter{0};
    return std::string(gwlib::channel::kDirectory) + "/." + name + '.' + purpose + '.' + std::to_string(getpid()) + '.' +
           std::to_string(gettid()) + '.' + std::to_string(counter.fetch_add(1));
}

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The whole content of an open channel file as a malloc'd copy. Channel files are never changed
// in place (only replaced by rename), so what is read is one complete content.
void *read_content(int fd, int32_t *size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > INT32_MAX) return nullptr;
    const auto length = static_cast<std::size_t>(st.st_size);
    auto *copy = static_cast<char *>(std::malloc(length));
    if (copy == nullptr) return nullptr;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, copy + done, length - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // shorter than it said: keep what is there
        done += static_cast<std::size_t>(n);
    }
    if (done == 0) {
        std::free(copy);
        return nullptr;
    }
    *size = static_cast<int32_t>(done);
    return copy;
}

int32_t *reset_size(int32_t *size) {
    if (size != nullptr) *size = 0;
    return size;
}

}  // namespace

extern "C" {

int share_memory_write_noneblock(const char *name, const void *data, int size, int /*timeout*/) {
    if (!gwlib::channel::name_is_valid(name) || size < 0 || (data == nullptr && size > 0)) return -1;
    const std::string temp = private_path(name, "new");
    gwlib::UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return -1;
    const bool written = write_all(fd.get(), static_cast<const char *>(data), static_cast<std::size_t>(size));
    fd.reset();
    // rename replaces the channel in one step: readers have the old file or the new one.
    if (!written || rename(temp.c_str(), gwlib::channel::path_of(name).c_str()) != 0) {
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

void *share_memory_read_noneblock(const char *name, int32_t *size, int /*timeout*/) {
    if (reset_size(size) == nullptr || !gwlib::channel::name_is_valid(name)) return nullptr;
    const gwlib::UniqueFd fd(open(gwlib::channel::path_of(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return nullptr;
    return read_content(fd.get(), size);
}

void *share_memory_read_then_clean_noneblock(const char *name, int32_t *size, int /*timeout*/) {
    if (reset_size(size) == nullptr || !gwlib::channel::name_is_valid(name)) return nullptr;
    // Taking the file away with rename is atomic: of several cleaners exactly one succeeds, and
    // a writer that comes later starts a new content.
    const std::string taken = private_path(name, "taken");
    if (rename(gwlib::channel::path_of(name).c_str(), taken.c_str()) != 0) return nullptr;
    const gwlib::UniqueFd fd(open(taken.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    unlink(taken.c_str());
    if (!fd) return nullptr;
    return read_content(fd.get(), size);
}

}  // extern "C"
