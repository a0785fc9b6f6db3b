#include "command_output.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace gwlib::command {
namespace {

struct PipeCloser {
    int *status;
    void operator()(FILE *pipe) const { *status = pclose(pipe); }
};

}  // namespace

FirstLine first_line(const std::string &command, std::size_t max_length) {
    FirstLine result;
    int close_status = -1;
    {
        // "e": the pipe is close-on-exec, so programs started meanwhile by other threads do not
        // inherit it and keep it open.
        std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "re"), PipeCloser{&close_status});
        if (!pipe) return result;
        result.started = true;
        int c = 0;
        while (result.line.size() <= max_length && (c = std::fgetc(pipe.get())) != EOF) {
            result.printed = true;
            if (c == '\n') break;
            result.line.push_back(static_cast<char>(c));
        }
    }
    if (!result.line.empty() && result.line.back() == '\r') result.line.pop_back();
    if (result.line.size() > max_length) result.line.resize(max_length);
    if (close_status != -1 && WIFEXITED(close_status)) result.exit_status = WEXITSTATUS(close_status);
    return result;
}

void copy_bounded(const std::string &text, char *buf, std::size_t size) {
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

}  // namespace gwlib::command
