// Fuzz target: what a client sends to the bus daemon. Byte 0 of an input chooses the size of the
// pieces in which the rest arrives (0: all at once); the pieces go through the message decoder
// ubusd uses, as many messages as they hold, until the stream is garbage. The fields of every
// message's data and signature are parsed against a policy (by name, then by position, nested
// tables and arrays too) and turned into JSON text, which must always succeed for a message the
// decoder took. The JSON is read back into fields and written again: from the second trip on, the
// text must stay the same, or a command relayed through JSON would change on its way. The data is
// also forwarded as ubusd forwards it, and must reach the other client unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json-c/json.h>
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "ubus_wire.h"

namespace {

using ubus_wire::Message;
using ubus_wire::Receiver;

constexpr blobmsg_policy kPolicy[] = {
    {"ID", BLOBMSG_TYPE_STRING}, {"msg", BLOBMSG_TYPE_STRING}, {"rc", BLOBMSG_TYPE_TABLE},
    {"list", BLOBMSG_TYPE_ARRAY}, {"SeqNo", BLOBMSG_TYPE_INT32}, {"flag", BLOBMSG_TYPE_BOOL},
    {"port", BLOBMSG_TYPE_INT16}, {"time", BLOBMSG_TYPE_INT64}, {"value", BLOBMSG_TYPE_DOUBLE},
    {"any", BLOBMSG_TYPE_UNSPEC}, {nullptr, BLOBMSG_TYPE_STRING},
};
constexpr int kPolicySize = sizeof kPolicy / sizeof kPolicy[0];

struct FreeText {
  void operator()(char *text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

// Reads every field the policy picked out, with the getter of its type.
std::uint64_t read_values(blob_attr **tb) {
  std::uint64_t sum = 0;
  for (int i = 0; i < kPolicySize; ++i) {
    if (tb[i] == nullptr) continue;
    switch (blobmsg_type(tb[i])) {
      case BLOBMSG_TYPE_STRING: sum += std::strlen(blobmsg_get_string(tb[i])); break;
      case BLOBMSG_TYPE_INT8: sum += blobmsg_get_bool(tb[i]); break;
      case BLOBMSG_TYPE_INT16: sum += blobmsg_get_u16(tb[i]); break;
      case BLOBMSG_TYPE_INT32: sum += blobmsg_get_u32(tb[i]); break;
      case BLOBMSG_TYPE_INT64: sum += blobmsg_get_u64(tb[i]); break;
      case BLOBMSG_TYPE_DOUBLE: sum += blobmsg_get_double(tb[i]) > 0; break;
      default: sum += blobmsg_data_len(tb[i]); break;
    }
  }
  return sum;
}

void parse_fields(blob_attr *list, int depth) {
  blob_attr *tb[kPolicySize];
  if (blobmsg_parse(kPolicy, kPolicySize, tb, blobmsg_data(list), blobmsg_data_len(list)) != 0) __builtin_trap();
  volatile std::uint64_t seen = read_values(tb);
  (void)seen;
  if (blobmsg_parse_array(kPolicy, kPolicySize, tb, blobmsg_data(list), blobmsg_data_len(list)) != 0)
    __builtin_trap();
  seen = read_values(tb);
  if (depth >= 4) return;
  blob_attr *field;
  unsigned int rem;
  blobmsg_for_each_attr(field, list, rem) {
    const int type = blobmsg_type(field);
    if (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY) parse_fields(field, depth + 1);
  }
}

// The JSON text of a list of fields read back into fields; null when it is no JSON object (too
// deep for the JSON reader, for one).
Text json_trip(const char *json) {
  json_object *object = json_tokener_parse(json);
  if (object == nullptr) return nullptr;
  blob_buf fields{};
  blob_buf_init(&fields, 0);
  Text text;
  if (json_object_is_type(object, json_type_object) && blobmsg_add_object(&fields, object))
    text.reset(blobmsg_format_json(fields.head, true));
  blob_buf_free(&fields);
  json_object_put(object);
  return text;
}

void inspect_fields(blob_attr *list) {
  if (list == nullptr) return;
  parse_fields(list, 0);
  Text json(blobmsg_format_json(list, true));
  Text indented(blobmsg_format_json_indent(list, true, 0));
  if (!json || !indented) __builtin_trap();  // fields the decoder took are always formatted
  Text second = json_trip(json.get());
  if (!second) return;
  Text third = json_trip(second.get());
  if (!third || std::strcmp(second.get(), third.get()) != 0) __builtin_trap();
}

// ubusd forwards the data of a call or an event to another client with a few attributes of its
// own; that client must take the message and find the same fields in it.
void check_forwarded(const Message &m) {
  const blob_attr *fields = m.list(ubus_wire::kAttrData);
  const char *event = m.str(ubus_wire::kAttrEvent);
  ubus_wire::Builder forward;
  forward.u32(ubus_wire::kAttrHandler, 7).str(ubus_wire::kAttrEvent, event ? event : "vorn_mgr");
  forward.list(ubus_wire::kAttrData, fields);
  const std::vector<std::uint8_t> bytes = forward.finish(UBUS_MSG_EVENT, 0, 0, ubus_wire::kMaxForwarded);
  if (bytes.empty()) __builtin_trap();  // nothing a client may send is too big to forward
  Receiver client(ubus_wire::kMaxForwarded);
  client.append(bytes.data(), bytes.size());
  Message got;
  if (client.next(got) != Receiver::Status::kMessage) __builtin_trap();
  const blob_attr *arrived = got.list(ubus_wire::kAttrData);
  const unsigned int length = fields ? blob_len(fields) : 0;
  if (arrived == nullptr || blob_len(arrived) != length ||
      (length > 0 && std::memcmp(blob_data(arrived), blob_data(fields), length) != 0))
    __builtin_trap();
}

void inspect(const Message &m) {
  volatile std::uint32_t words = m.u32(ubus_wire::kAttrStatus) + m.u32(ubus_wire::kAttrObjId) +
                                 m.u32(ubus_wire::kAttrHandler);
  (void)words;
  for (ubus_wire::Attr a : {ubus_wire::kAttrObjPath, ubus_wire::kAttrMethod, ubus_wire::kAttrEvent})
    if (m.str(a) != nullptr && std::strlen(m.str(a)) > ubus_wire::kMaxNameLen) __builtin_trap();
  if (m.str(ubus_wire::kAttrPattern) && m.str(ubus_wire::kAttrEvent))
    (void)ubus_wire::pattern_matches(m.str(ubus_wire::kAttrPattern), m.str(ubus_wire::kAttrEvent));
  inspect_fields(m.list(ubus_wire::kAttrData));
  inspect_fields(m.list(ubus_wire::kAttrSignature));
  check_forwarded(m);
}

// Takes every whole message out of the receiver; false once the stream is garbage.
bool drain(Receiver &receiver) {
  for (;;) {
    Message m;
    switch (receiver.next(m)) {
      case Receiver::Status::kNeedMore: return true;
      case Receiver::Status::kGarbage: return false;
      case Receiver::Status::kTooBig: continue;
      case Receiver::Status::kMessage: inspect(m); break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = data[0] != 0 ? data[0] : size;
  Receiver receiver(ubus_wire::kMaxPayload);
  for (std::size_t at = 1; at < size; at += piece) {
    receiver.append(data + at, std::min(piece, size - at));
    if (!drain(receiver)) break;
  }
  return 0;
}
