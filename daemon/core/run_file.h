// One daemon at a time: the main process holds a lock on its run file for as long as it lives.
#pragma once

namespace vorn::core {

constexpr const char *kRunFile = "/var/run/vorn_mgr.pid";

// Takes the run file's lock and writes this process's id into it. When another daemon holds it,
// says so in one line and ends the process with status 1, before anything shared is touched.
void claim_run_file();

// A forked child never holds the run: its copy of the locked descriptor is closed.
void release_run_file_in_child();

}  // namespace vorn::core
