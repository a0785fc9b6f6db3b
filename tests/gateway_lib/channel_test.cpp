// Shared-memory channels and the shmchan tool: names, whole-content replacement, no torn reads
// under a concurrent writer, and exactly one winner among concurrent cleaners.
#include <gateway_lib/shm_channel.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

constexpr const char *kChannel = "00124B0001020304";
constexpr const char *kMeta = "00124B0001020304_meta";

struct Content {
    std::unique_ptr<void, decltype(&std::free)> data{nullptr, std::free};
    int32_t size = -1;
    std::string text() const { return data ? std::string(static_cast<const char *>(data.get()), size) : std::string(); }
};

Content read_channel(const char *name, bool clean = false) {
    Content c;
    c.data.reset(clean ? share_memory_read_then_clean_noneblock(name, &c.size, 10)
                       : share_memory_read_noneblock(name, &c.size, 10));
    return c;
}

bool publish(const char *name, const std::string &bytes) {
    return share_memory_write_noneblock(name, bytes.data(), static_cast<int>(bytes.size()), 10) == 0;
}

// Runs a command and returns its exit status and standard output.
std::pair<int, std::string> run(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, out};
    char buf[256];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class Channel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, run("rm -rf /dev/shm/* /dev/shm/.[!.]*").first); }
};

TEST_F(Channel, NamesThatCouldLeaveTheFolderAreRefused) {
    const std::string too_long(65, 'A');
    for (const char *bad : {"", "../etc/passwd", "a/b", ".hidden", "..", "sem.vorn_mgr_sem", "sp ace", too_long.c_str(),
                            static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(bad == nullptr ? "null" : bad);
        EXPECT_EQ(-1, share_memory_write_noneblock(bad, "x", 1, 10));
        int32_t size = 7;
        EXPECT_EQ(nullptr, share_memory_read_noneblock(bad, &size, 10));
        EXPECT_EQ(0, size);
    }
    EXPECT_EQ("", run("ls -A /dev/shm").second);
    EXPECT_TRUE(publish(std::string(64, 'A').c_str(), "longest name"));
}

TEST_F(Channel, WriteReplacesTheWholeContentAndCleanEmptiesIt) {
    EXPECT_EQ(0, read_channel(kChannel).size);
    const std::string binary("\x00\x01\xff\x00zz", 6);
    ASSERT_TRUE(publish(kChannel, "a much longer first content"));
    ASSERT_TRUE(publish(kChannel, binary));
    EXPECT_EQ(binary, read_channel(kChannel).text()) << "no tail of the longer old content may remain";

    ASSERT_TRUE(publish(kMeta, std::string(23 * 3, 'm')));
    EXPECT_EQ(binary, read_channel(kChannel, true).text());
    EXPECT_EQ(nullptr, read_channel(kChannel).data) << "read-then-clean empties the channel";
    EXPECT_EQ(69, read_channel(kMeta).size) << "other channels are untouched";

    ASSERT_TRUE(publish(kMeta, ""));
    EXPECT_EQ(nullptr, read_channel(kMeta).data) << "an empty content reads as empty";
    EXPECT_EQ(-1, share_memory_write_noneblock(kMeta, nullptr, 5, 10));
    EXPECT_EQ(-1, share_memory_write_noneblock(kMeta, "x", -1, 10));

    EXPECT_EQ(std::string(kMeta) + "\n", run("ls -A /dev/shm").second) << "no temporary file is left behind";
}

TEST_F(Channel, ReaderNeverSeesAMixOfTwoWrites) {
    // Each write is one byte value repeated; its length is tied to the value, so a torn read
    // shows up as mixed bytes or a length that does not match the byte.
    auto length_for = [](unsigned char value) { return 1 + (value * 37) % 4000; };
    ASSERT_TRUE(publish(kChannel, std::string(length_for(0), '\0')));
    const pid_t writer = gwlib_test::spawn([&] {
        for (int i = 1;; ++i) {
            const auto value = static_cast<unsigned char>(i % 256);
            if (!publish(kChannel, std::string(length_for(value), static_cast<char>(value)))) return 1;
        }
    });
    int bad = 0, empty = 0;
    for (int i = 0; i < 10000; ++i) {
        const Content c = read_channel(kChannel);
        if (!c.data) {
            ++empty;
            continue;
        }
        const auto *bytes = static_cast<const unsigned char *>(c.data.get());
        bool same = c.size == length_for(bytes[0]);
        for (int32_t j = 1; same && j < c.size; ++j) same = bytes[j] == bytes[0];
        bad += same ? 0 : 1;
    }
    kill(writer, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, gwlib_test::wait_for(writer));
    EXPECT_EQ(0, bad);
    EXPECT_EQ(0, empty) << "a channel being replaced is never seen empty";
}

TEST_F(Channel, ConcurrentCleanersGetTheContentExactlyOnce) {
    for (int round = 0; round < 100; ++round) {
        ASSERT_TRUE(publish(kMeta, "round " + std::to_string(round)));
        int go[2];
        ASSERT_EQ(0, pipe(go));
        std::vector<pid_t> cleaners;
        for (int k = 0; k < 2; ++k) {
            cleaners.push_back(gwlib_test::spawn([&] {
                close(go[1]);
                char start = 0;
                if (read(go[0], &start, 1) != 0) return 3;  // both start when the pipe closes
                return read_channel(kMeta, true).text() == "round " + std::to_string(round) ? 0 : 1;
            }));
        }
        close(go[0]);
        close(go[1]);
        int winners = 0;
        for (pid_t pid : cleaners) {
            const int rc = gwlib_test::wait_for(pid);
            ASSERT_TRUE(rc == 0 || rc == 1) << rc;
            winners += rc == 0 ? 1 : 0;
        }
        ASSERT_EQ(1, winners) << "round " << round;
    }
}

TEST_F(Channel, ShmchanPrintsContentAndLists) {
    const std::string binary("AB\x00\xfe\n", 5);
    ASSERT_TRUE(publish(kChannel, binary));
    ASSERT_TRUE(publish(kMeta, "meta"));

    EXPECT_EQ(std::make_pair(0, binary), run(std::string("/usr/bin/shmchan get ") + kChannel));
    EXPECT_EQ(std::make_pair(0, std::string(kChannel) + "\n" + kMeta + "\n"), run("/usr/bin/shmchan list"));
    EXPECT_EQ(std::make_pair(1, std::string()), run("/usr/bin/shmchan get 00124B00FFFFFFFF"));
    EXPECT_EQ(2, run("/usr/bin/shmchan get ../../etc/passwd 2>/dev/null").first);
    ASSERT_TRUE(publish(kMeta, ""));
    EXPECT_EQ(std::make_pair(1, std::string()), run(std::string("/usr/bin/shmchan get ") + kMeta));
}

}  // namespace
