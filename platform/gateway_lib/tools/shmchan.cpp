// shmchan: shows the gateway's shared-memory channels.
//
//   shmchan get NAME   prints the channel's current content (raw bytes); exit 1 when it is empty
//                      or absent, 2 on a bad name
//   shmchan list       prints the names of the existing channels, one per line
#include <gateway_lib/shm_channel.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "channel_files.h"

namespace {

int usage() {
    std::fputs("usage: shmchan get NAME | shmchan list\n", stderr);
    return 2;
}

bool write_all(const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int get(const char *name) {
    if (!gwlib::channel::name_is_valid(name)) {
        std::fprintf(stderr, "shmchan: bad channel name\n");
        return 2;
    }
    int32_t size = 0;
    const std::unique_ptr<void, decltype(&std::free)> content(share_memory_read_noneblock(name, &size, 10), std::free);
    if (!content || size <= 0) return 1;
    return write_all(static_cast<const char *>(content.get()), static_cast<std::size_t>(size)) ? 0 : 1;
}

int list() {
    for (const auto &name : gwlib::channel::list()) std::printf("%s\n", name.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "get") == 0) return get(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "list") == 0) return list();
    return usage();
}
