#include "status/status_object.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gateway_lib/download_records.h>
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/daemon_state.h"
#include "core/process_fork.h"
#include "devices/sensorlist_store.h"
#include "firmware/download_records.h"
#include "shared/answered_records.h"
#include "status/status_document.h"

namespace vorn::status {

namespace {

// A segment attached read-only for one reply; null when it is not there.
class ReadOnlySegment {
 public:
  explicit ReadOnlySegment(int segment_id) {
    if (segment_id < 0) return;
    void *address = shmat(segment_id, nullptr, SHM_RDONLY);
    if (address != reinterpret_cast<void *>(-1)) address_ = address;
  }
  ~ReadOnlySegment() {
    if (address_ != nullptr) shmdt(address_);
  }
  ReadOnlySegment(const ReadOnlySegment &) = delete;
  ReadOnlySegment &operator=(const ReadOnlySegment &) = delete;
  template <typename T>
  const T *as() const {
    return static_cast<const T *>(address_);
  }

 private:
  void *address_ = nullptr;
};

int pending_downloads() {
  const firmware::OadRecordList list;
  int pending = 0;
  for (int i = 0; list.records != nullptr && i < list.count; ++i) {
    const int status = list.records[i].status;
    pending += status == 0 || status == firmware::kDownloadStarted || status == 2;
  }
  return pending;
}

int sensorlist_sensors() { return devices::read_int_value("uci -q show sensorlist | grep -c '\\.ShortAddress='"); }

// The totals read from sensorlist and the platform store. They are read in a child: uci waits
// for its lock on the package, which another program may hold for long, and the status object
// answers from what it holds instead of waiting with it. A reply waits a moment for a fresh read;
// while one is still under way it answers from the last.
struct Totals {
  std::int32_t sensorlist_sensors;
  std::int32_t start_count;
  std::int32_t pending_downloads;
};
constexpr int kFreshTotalsWaitMs = 300;
constexpr std::chrono::seconds kTotalsReadLimit{120};

struct TotalsReader {
  uloop_fd end{};  // first member: the loop hands back its address
  pid_t pid = 0;   // 0: no read under way
  bool watched = false;  // on the loop, for a read that outlasted the reply
  std::chrono::steady_clock::time_point started;
  Totals read{};
  std::size_t filled = 0;
} reader;
Totals held{};

void read_totals(const void *, int result_fd) {
  const Totals totals{sensorlist_sensors(), devices::get_int_value("sensorlist.@Coprocessor[].StartCount"),
                      pending_downloads()};
  ssize_t ignored = write(result_fd, &totals, sizeof totals);
  (void)ignored;
}

// Reads what the reader wrote, to its end. True once it has ended: its totals are then held (when
// whole) and the process reaped. False while it still runs.
bool take_totals() {
  for (;;) {
    char buffer[sizeof(Totals)];
    const ssize_t n = read(reader.end.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    const std::size_t fits = std::min(static_cast<std::size_t>(n), sizeof reader.read - reader.filled);
    std::memcpy(reinterpret_cast<char *>(&reader.read) + reader.filled, buffer, fits);
    reader.filled += fits;
  }
  if (reader.filled == sizeof reader.read) held = reader.read;
  if (reader.watched) uloop_fd_delete(&reader.end);
  reader.watched = false;
  close(reader.end.fd);
  reader.end.fd = -1;
  while (waitpid(reader.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  reader.pid = 0;
  return true;
}

void on_totals(uloop_fd *, unsigned int) { take_totals(); }

// Starts a read of the totals unless one is under way, and waits at most `wait_ms` for it.
void refresh_totals(int wait_ms) {
  if (reader.pid > 0) {
    // The last read still waits (uci's lock kept by another program): answer from what is held,
    // and after a while start over with a read of its own.
    if (std::chrono::steady_clock::now() - reader.started > kTotalsReadLimit) kill(reader.pid, SIGKILL);
    return;
  }
  const core::WatchedChild child = core::start_watched_child(read_totals, nullptr, "status totals read");
  if (child.pid < 0) return;
  reader.pid = child.pid;
  reader.started = std::chrono::steady_clock::now();
  reader.end.fd = child.end_fd;
  reader.end.cb = on_totals;
  reader.filled = 0;
  fcntl(child.end_fd, F_SETFL, fcntl(child.end_fd, F_GETFL) | O_NONBLOCK);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd wanted{child.end_fd, POLLIN, 0};
    if (left <= 0 || poll(&wanted, 1, static_cast<int>(left)) == 0) break;
    if (take_totals()) return;
  }
  uloop_fd_add(&reader.end, ULOOP_READ);  // taken when it ends
  reader.watched = true;
}

using Build = cloud::JsonPtr (*)(const StatusInputs &);

int reply(ubus_context *context, ubus_request_data *request, Build build, bool with_totals) {
  const ReadOnlySegment device_list(core::daemon_state.device_list_segment_id);
  const ReadOnlySegment txq(core::daemon_state.txq_segment_id);
  StatusInputs inputs;
  inputs.counters = shared::status_counters();
  inputs.gateway_id = core::daemon_state.gateway_id;
  inputs.device_list = device_list.as<shared::DeviceListSegment>();
  inputs.txq = txq.as<shared::TxqSegment>();
  if (with_totals) {
    refresh_totals(kFreshTotalsWaitMs);
    inputs.sensorlist_sensors = held.sensorlist_sensors;
    inputs.start_count = held.start_count;
    inputs.pending_downloads = held.pending_downloads;
    inputs.answers_held = shared::answers_held();
    inputs.answer_limit = shared::answer_limit();
  }
  inputs.uptime = inputs.counters != nullptr ? shared::uptime_of(*inputs.counters) : 0;
  inputs.now_unix = static_cast<std::uint32_t>(std::time(nullptr));
  const cloud::JsonPtr document = build(inputs);
  blob_buf buffer{};
  blob_buf_init(&buffer, 0);
  blobmsg_add_object(&buffer, document.get());
  const int rc = ubus_send_reply(context, request, buffer.head);
  blob_buf_free(&buffer);
  return rc;
}

int call_status(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *) {
  return reply(context, request, status_document, true);
}

int call_sensors(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *) {
  return reply(context, request, sensors_document, false);
}

const ubus_method kMethods[] = {
    UBUS_METHOD_NOARG("status", call_status),
    UBUS_METHOD_NOARG("sensors", call_sensors),
};
ubus_object_type object_type = UBUS_OBJECT_TYPE("vorn_mgr", kMethods);
// By field name: the router's struct starts with its tree node, ours does not.
ubus_object object{.name = "vorn_mgr", .type = &object_type, .methods = kMethods,
                   .n_methods = static_cast<int>(ARRAY_SIZE(kMethods))};

}  // namespace

int add_status_object(ubus_context *context) {
  const int rc = ubus_add_object(context, &object);
  if (rc != 0) std::fprintf(stderr, "The command process cannot add the vorn_mgr object: %s\n", ubus_strerror(rc));
  else refresh_totals(0);  // the first reply then has totals to give, however long uci waits
  return rc;
}

}  // namespace vorn::status
