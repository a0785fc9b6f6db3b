// vorn_mgr: the gateway daemon of the sub-GHz sensor network.
#include "core/startup.h"

int main(int argc, char **argv) { vorn::core::run_daemon(argc, argv); }
