#include <gateway_lib/settings.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>

#include "command_output.h"
#include "commands.h"
#include "unique_fd.h"

static_assert(sizeof(mp_info_record) == 184, "mp_info_record is 184 bytes");
static_assert(offsetof(mp_info_record, region) == 180, "the region code is at byte 180");
static_assert(offsetof(system_settings_record, cloud_ready) == 4, "cloud_ready is the second word");

namespace {

// Longest option value kept; the settings are short names and numbers.
constexpr std::size_t kMaxValue = 255;

// The first line "uci -q get gateway.main.<option>" prints (empty when the option is absent), read
// in this process by the configuration tool's own code, as a library on the router reads its
// settings. The cloud readiness is read for every frame, and a shell and a tool started for it
// would cost more than the rest of the frame. option is one of this file's constants.
std::string read_option(const char *option) {
    const std::string address = std::string("gateway.main.") + option;
    const char *const argv[] = {"uci", "-q", "get", address.c_str(), nullptr};
    uci::Output output;
    uci::run(4, argv, uci::Paths{}, output);
    std::string line = output.out.substr(0, output.out.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxValue) line.resize(kMaxValue);
    return line;
}

// A non-empty value of the option, or nothing.
std::optional<std::string> option_value(const char *option) {
    std::string line = read_option(option);
    if (line.empty()) return std::nullopt;
    return line;
}

// Strict decimal int32: optional sign, digits only, within range.
std::optional<int32_t> parse_int32(const std::string &text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    if (std::isspace(static_cast<unsigned char>(text[0])) != 0) return std::nullopt;  // strtoll skips blanks
    return static_cast<int32_t>(value);
}

// Cloud agent names handed out so far. Nodes are never freed, so every pointer handed out stays
// valid for the life of the process; a node is only added when the configured name changes.
// Lock-free, so a fork can never leave the list locked in the child.
struct NameNode {
    NameNode *next;
    char *text;
};
std::atomic<NameNode *> g_names{nullptr};

char *remembered_name(const std::string &name) {
    NameNode *head = g_names.load(std::memory_order_acquire);
    for (NameNode *node = head; node != nullptr; node = node->next) {
        if (name == node->text) return node->text;
    }
    auto *node = new (std::nothrow) NameNode{head, strdup(name.c_str())};
    if (node == nullptr || node->text == nullptr) {
        if (node != nullptr) delete node;
        return nullptr;
    }
    while (!g_names.compare_exchange_weak(node->next, node, std::memory_order_acq_rel)) {
        // Another thread added a name meanwhile; it may be this very one.
        for (NameNode *other = node->next; other != head && other != nullptr; other = other->next) {
            if (name == other->text) {
                std::free(node->text);
                delete node;
                return other->text;
            }
        }
        head = node->next;
    }
    return node->text;
}

}  // namespace

extern "C" {

int get_register_name(char *gateway_id) {
    if (gateway_id == nullptr) return -1;
    constexpr std::size_t kBuffer = 24;
    const auto value = option_value("register_name");
    gwlib::command::copy_bounded(value.value_or(""), gateway_id, kBuffer);
    return value ? 0 : -1;
}

int get_cloud_ubus_name(char **name) {
    if (name == nullptr) return -1;
    const auto value = option_value("cloud_ubus_name");
    if (!value) return -1;
    char *kept = remembered_name(*value);
    if (kept == nullptr) return -1;
    *name = kept;
    return 0;
}

int get_mp_info(void *record) {
    if (record == nullptr) return 0;
    const auto value = option_value("region");
    if (!value) return 0;
    const auto region = parse_int32(*value);
    if (!region) return 0;
    static_cast<mp_info_record *>(record)->region = *region;
    return 1;
}

int get_system_settings(void *record) {
    if (record == nullptr) return 0;
    auto *settings = static_cast<system_settings_record *>(record);
    settings->version = 1;
    settings->cloud_ready = parse_int32(read_option("cloud_ready")).value_or(0);
    return 1;
}

int add_common_log(const char *module, int code) {
    if (module == nullptr || module[0] == '\0') return -1;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr || std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return -1;
    }
    std::string line = stamp;
    line += ' ';
    for (const char *p = module; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        line += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);  // one call, one line
    }
    line += ' ' + std::to_string(code) + '\n';

    const gwlib::UniqueFd fd(open("/tmp/common_log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return -1;
    // O_APPEND and one write: lines of concurrent processes never interleave.
    const ssize_t written = write(fd.get(), line.data(), line.size());
    return written == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

}  // extern "C"
