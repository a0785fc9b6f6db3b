// vorn_mgr: the gateway daemon of the sub-GHz sensor network.
#include "app/startup.h"
#include "status/info_options.h"

int main(int argc, char **argv) {
  if (vorn::status::print_info_option(argc, argv)) return 0;
  vorn::app::run_daemon(argc, argv);
}
