// A cloud agent for the tests: registers the bus object named by gateway.main.cloud_ubus_name with
// "transmit" and "obtain", appends "<method> <msg>" of every call to calls.log, and answers as the
// real agent does. Behaviour is read from files in /tmp/test_agent at every call:
//   new_msg     NewMsgArrived of the "transmit" answer (else 1 while held.json exists, else 0)
//   reply.json  the whole "transmit" answer instead of the usual {"rc": ...}
//   delay_ms    milliseconds "transmit" waits before it answers
//   held.json   the message "obtain" returns as "rc" (and deletes); without it no answer
extern "C" {
#include <libubox/blobmsg_json.h>
}
#include <libubus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string kDirectory = "/tmp/test_agent/";
int transmit_count = 0;

bool read_file(const std::string &name, std::string *text) {
  std::ifstream in(kDirectory + name);
  if (!in) return false;
  std::stringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

enum { kId, kMsg };
const blobmsg_policy kPolicy[] = {{"id", BLOBMSG_TYPE_STRING}, {"msg", BLOBMSG_TYPE_STRING}};

void record(const char *method, blob_attr *message) {
  blob_attr *fields[2] = {};
  blobmsg_parse(kPolicy, 2, fields, blob_data(message), blob_len(message));
  std::ofstream(kDirectory + "calls.log", std::ios::app)
      << method << " " << (fields[kId] ? blobmsg_get_string(fields[kId]) : "-") << " "
      << (fields[kMsg] ? blobmsg_get_string(fields[kMsg]) : "-") << "\n";
}

int reply_with(ubus_context *context, ubus_request_data *request, const std::string &rc) {
  blob_buf buffer{};
  blob_buf_init(&buffer, 0);
  blobmsg_add_string(&buffer, "rc", rc.c_str());
  ubus_send_reply(context, request, buffer.head);
  blob_buf_free(&buffer);
  return 0;
}

int on_transmit(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  record("transmit", message);
  std::string text;
  if (read_file("delay_ms", &text)) usleep(static_cast<useconds_t>(std::stoi(text)) * 1000);
  if (read_file("reply.json", &text)) {
    blob_buf buffer{};
    blob_buf_init(&buffer, 0);
    blobmsg_add_json_from_string(&buffer, text.c_str());
    ubus_send_reply(context, request, buffer.head);
    blob_buf_free(&buffer);
    return 0;
  }
  int new_message = read_file("new_msg", &text) ? std::stoi(text) : read_file("held.json", &text) ? 1 : 0;
  char rc[128];
  std::snprintf(rc, sizeof rc, "{\"SeqNo\":%d,\"Timestamp\":%ld,\"Result\":1,\"NewMsgArrived\":%d}", ++transmit_count,
                static_cast<long>(std::time(nullptr)), new_message);
  return reply_with(context, request, rc);
}

int on_obtain(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  record("obtain", message);
  std::string held;
  if (!read_file("held.json", &held)) return 0;
  std::remove((kDirectory + "held.json").c_str());
  return reply_with(context, request, held);
}

const ubus_method kMethods[] = {UBUS_METHOD("transmit", on_transmit, kPolicy), UBUS_METHOD("obtain", on_obtain, kPolicy)};
ubus_object_type kType = UBUS_OBJECT_TYPE("cloud_agent", kMethods);

}  // namespace

int main() {
  char name[64] = {};
  FILE *pipe = popen("uci -q get gateway.main.cloud_ubus_name", "r");
  if (pipe == nullptr || std::fgets(name, sizeof name, pipe) == nullptr) return 2;
  pclose(pipe);
  name[std::strcspn(name, "\r\n")] = '\0';

  uloop_init();
  ubus_context *context = ubus_connect(nullptr);
  if (context == nullptr) return 2;
  ubus_object object{};
  object.name = name;
  object.type = &kType;
  object.methods = kMethods;
  object.n_methods = 2;
  if (ubus_add_object(context, &object) != 0) return 2;
  ubus_add_uloop(context);
  uloop_run();
  ubus_free(context);
  uloop_done();
  return 0;
}
