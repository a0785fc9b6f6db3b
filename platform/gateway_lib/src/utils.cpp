#include <fcntl.h>
#include <gateway_lib/utils.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "unique_fd.h"

namespace {

// Splits text into exactly count decimal numbers separated by separator; nothing when malformed.
std::optional<std::vector<uint32_t>> parse_version(const char *text, std::string_view separator, int count) {
    if (text == nullptr) return std::nullopt;
    std::vector<uint32_t> numbers;
    std::string_view rest(text);
    for (int i = 0; i < count; ++i) {
        const bool last = i == count - 1;
        const std::size_t cut = last ? rest.size() : rest.find(separator);
        if (cut == std::string_view::npos) return std::nullopt;  // too few numbers
        const std::string_view part = rest.substr(0, cut);
        if (part.empty()) return std::nullopt;
        uint64_t value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return std::nullopt;  // also catches extra separators in the last part
            value = value * 10 + static_cast<uint64_t>(c - '0');
            if (value > UINT32_MAX) return std::nullopt;
        }
        numbers.push_back(static_cast<uint32_t>(value));
        rest.remove_prefix(last ? cut : cut + separator.size());
    }
    return numbers;
}

}  // namespace

extern "C" {

int isFileExisted(const char *path) {
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

int hex_to_dec(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

int check_ascii(const char *text, int len) {
    if (text == nullptr || len <= 0) return 0;
    for (int i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7e) return 0;
    }
    return 1;
}

int get_path_value(const char *path, int size, char *buf) {
    if (buf == nullptr || size <= 0) return -1;
    buf[0] = '\0';
    if (path == nullptr) return -1;
    // O_NONBLOCK: a FIFO planted at the path must not hang the caller; it is refused below.
    const gwlib::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;

    // Read at most size bytes: size-1 for the value and one more to see a "\r" of a "\r\n"
    // that follows a value of the full length.
    const auto limit = static_cast<std::size_t>(size);
    std::vector<char> line;
    char chunk[256];
    bool ended = false;
    while (!ended && line.size() < limit) {
        const std::size_t want = std::min(sizeof chunk, limit - line.size());
        const ssize_t got = read(fd.get(), chunk, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        const auto n = static_cast<std::size_t>(got);
        const void *newline = std::memchr(chunk, '\n', n);
        const std::size_t keep = newline == nullptr ? n : static_cast<std::size_t>(static_cast<const char *>(newline) - chunk);
        line.insert(line.end(), chunk, chunk + keep);
        ended = newline != nullptr;
    }
    if (line.size() > limit) line.resize(limit);
    // A "\r" at the end of what was read belongs to the line end only when it is within the
    // value's length; a longer line is cut below anyway.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t n = std::min(line.size(), limit - 1);
    if (n > 0) std::memcpy(buf, line.data(), n);
    buf[n] = '\0';
    return 0;
}

int above_checking_ver(const char *version, const char *threshold, const char *separator, int count) {
    if (separator == nullptr || separator[0] == '\0' || count <= 0) return 0;
    const auto have = parse_version(version, separator, count);
    const auto need = parse_version(threshold, separator, count);
    if (!have || !need) return 0;
    return *have >= *need ? 1 : 0;  // lexicographic: the first differing number decides
}

}  // extern "C"
