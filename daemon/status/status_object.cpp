#include "status/status_object.h"

#include <sys/shm.h>

#include <gateway_lib/download_records.h>
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cstdio>
#include <ctime>

#include "core/daemon_state.h"
#include "devices/sensorlist_store.h"
#include "firmware/download_records.h"
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
    inputs.sensorlist_sensors = sensorlist_sensors();
    inputs.start_count = devices::get_int_value("sensorlist.@Coprocessor[].StartCount");
    inputs.pending_downloads = pending_downloads();
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
  return rc;
}

}  // namespace vorn::status
