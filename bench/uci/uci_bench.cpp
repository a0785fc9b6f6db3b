// Cost of one `uci get` against a realistic sensor list, next to the cost of starting /bin/true
// the same way (fork, exec, wait). Run it inside the router sandbox:
//   VORN_BUILD_DIR=<build> tools/router-sandbox -- <build>/bench/uci/uci_bench [runs]
// It replaces /etc/config/sensorlist, which is why it refuses to run anywhere else.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kTool = "/usr/bin/uci";
const char* const kConfig = "/etc/config/sensorlist";

bool inside_router_sandbox() {
  char name[64] = {};
  return gethostname(name, sizeof name - 1) == 0 && std::strcmp(name, "router") == 0 &&
         access(kTool, X_OK) == 0;
}

std::string sensor_id(int i) {
  char id[17];
  std::snprintf(id, sizeof id, "00124B0001%06X", 0xA20000 + i);
  return id;
}

// A Coprocessor section and 100 sensors carrying every option the daemon writes.
bool write_sensor_list() {
  std::string text = "\nconfig Coprocessor\n\toption StartCount '0'\n\toption ExtAddress "
                     "'00124B00019A8B7C'\n\toption ModelVersion '0.9.0.05'\n";
  for (int i = 0; i < 100; ++i) {
    char section[768];
    std::snprintf(section, sizeof section,
                  "\nconfig %s\n\toption ShortAddress '%04X'\n\toption EventInterval '300'\n"
                  "\toption ManuFacturer 'Vorn'\n\toption ModelName 'TS-%03d'\n"
                  "\toption ModelNumber 'TS%03d-EU'\n\toption ModelVersion '2.5.2.%d'\n"
                  "\toption SensorVersion '1.0.3.%d'\n\toption SensorCalDate '2023/04/%02d'\n"
                  "\toption ManufacturerDate '2023/03/%02d'\n\toption DeviceName 'sensor %d'\n",
                  sensor_id(i).c_str(), i + 1, i % 7, i, i % 10, i % 5, i % 28 + 1, i % 28 + 1, i);
    text += section;
  }
  FILE* file = std::fopen(kConfig, "w");
  if (!file) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && ok;
}

// Microseconds for one fork + exec + wait of ARGV, its output sent to /dev/null.
double spawn_once(const std::vector<const char*>& argv) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "uci_bench: %s did not run cleanly\n", argv[0]);
    std::exit(1);
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (runs < 1) runs = 2000;
  if (!inside_router_sandbox()) {
    std::fprintf(stderr, "uci_bench: run me inside tools/router-sandbox (I replace %s)\n", kConfig);
    return 2;
  }
  if (!write_sensor_list()) {
    std::fprintf(stderr, "uci_bench: cannot write %s\n", kConfig);
    return 1;
  }
  std::string address = "sensorlist.@" + sensor_id(57) + "[].ShortAddress";
  const std::vector<const char*> get{kTool, "-q", "get", address.c_str(), nullptr};
  const std::vector<const char*> truth{"/bin/true", nullptr};
  std::vector<double> get_us, true_us;
  for (int i = 0; i < 50; ++i) spawn_once(get), spawn_once(truth);  // warm the caches
  for (int i = 0; i < runs; ++i) {  // interleaved, so that load changes hit both alike
    get_us.push_back(spawn_once(get));
    true_us.push_back(spawn_once(truth));
  }
  double g = median(get_us), t = median(true_us);
  std::printf("runs: %d each, sensor list of 101 sections\n", runs);
  std::printf("uci get:   median %.1f us\n", g);
  std::printf("/bin/true: median %.1f us\n", t);
  std::printf("ratio:     %.2f\n", g / t);
  return 0;
}
