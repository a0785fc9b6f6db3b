// Runs a shell command and keeps the first line it prints.
#pragma once

#include <string>

namespace gwlib::command {

struct FirstLine {
    bool started = false;       // the shell could be started
    bool printed = false;       // at least one byte came out
    int exit_status = -1;       // the command's exit status; -1 when unknown (killed, or not reaped
                                // because the caller ignores SIGCHLD)
    std::string line;           // the first line, line end ("\n", "\r\n") removed, cut to max_length
};

// command must be built only from checked or constant text: it is run by /bin/sh.
// Reads at most max_length bytes of the first line; the rest of the output is not read (the
// command may then get SIGPIPE, which is harmless).
FirstLine first_line(const std::string &command, std::size_t max_length);

// Copies text into buf of size bytes (size > 0), cut to size-1 bytes and terminated.
void copy_bounded(const std::string &text, char *buf, std::size_t size);

}  // namespace gwlib::command
