// blob/blobmsg buffers: building, parsing, and parsing arbitrary bytes without reading out of
// bounds.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "support/bus_test_support.h"

extern "C" int c_api_builds_message(struct blob_buf *buf);

namespace {

using bus_test::BlobBuf;

enum { F_NAME, F_COUNT, F_BIG, F_SMALL, F_FLAG, F_RATIO, F_TABLE, F_LIST, F_NULL, F_MAX };

const blobmsg_policy kPolicy[F_MAX] = {
    {"name", BLOBMSG_TYPE_STRING}, {"count", BLOBMSG_TYPE_INT32}, {"big", BLOBMSG_TYPE_INT64},
    {"small", BLOBMSG_TYPE_INT16}, {"flag", BLOBMSG_TYPE_BOOL},   {"ratio", BLOBMSG_TYPE_DOUBLE},
    {"table", BLOBMSG_TYPE_TABLE}, {"list", BLOBMSG_TYPE_ARRAY},  {"nothing", BLOBMSG_TYPE_UNSPEC},
};

void build_sample(blob_buf *b) {
  blobmsg_add_field(b, BLOBMSG_TYPE_STRING, "name", "sensor", 7);
  blobmsg_add_u32(b, "count", 0xfffffffeu);
  blobmsg_add_u64(b, "big", 0x0102030405060708ull);
  blobmsg_add_u16(b, "small", 0xbeef);
  blobmsg_add_u8(b, "flag", 1);
  blobmsg_add_double(b, "ratio", -2.5);
  void *t = blobmsg_open_table(b, "table");
  blobmsg_add_string(b, "inner", "x");
  void *deeper = blobmsg_open_array(b, "deeper");
  blobmsg_add_u32(b, nullptr, 7);
  blobmsg_close_array(b, deeper);
  blobmsg_close_table(b, t);
  void *a = blobmsg_open_array(b, "list");
  for (uint32_t i = 0; i < 3; ++i) blobmsg_add_u32(b, nullptr, i);
  blobmsg_close_array(b, a);
  blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, "nothing", nullptr, 0);
}

TEST(Blobmsg, BuildsAndParsesEveryType) {
  BlobBuf b;
  build_sample(&b.b);
  blob_attr *tb[F_MAX];
  ASSERT_EQ(0, blobmsg_parse(kPolicy, F_MAX, tb, blob_data(b.b.head), blob_len(b.b.head)));
  for (int i = 0; i < F_MAX; ++i) ASSERT_NE(nullptr, tb[i]) << kPolicy[i].name;
  EXPECT_STREQ("sensor", blobmsg_get_string(tb[F_NAME]));
  EXPECT_EQ(0xfffffffeu, blobmsg_get_u32(tb[F_COUNT]));
  EXPECT_EQ(0x0102030405060708ull, blobmsg_get_u64(tb[F_BIG]));
  EXPECT_EQ(0xbeef, blobmsg_get_u16(tb[F_SMALL]));
  EXPECT_TRUE(blobmsg_get_bool(tb[F_FLAG]));
  EXPECT_EQ(-2.5, blobmsg_get_double(tb[F_RATIO]));
  EXPECT_EQ(0u, blobmsg_data_len(tb[F_NULL]));

  // Nested containers keep their children, and the walk stays inside them.
  int items = 0;
  blob_attr *pos;
  unsigned int rem;
  blobmsg_for_each_attr(pos, tb[F_LIST], rem) {
    EXPECT_EQ(BLOBMSG_TYPE_INT32, blobmsg_type(pos));
    EXPECT_EQ(static_cast<uint32_t>(items++), blobmsg_get_u32(pos));
  }
  EXPECT_EQ(3, items);
  EXPECT_EQ(2, blobmsg_check_array(tb[F_TABLE], BLOBMSG_TYPE_UNSPEC));
  EXPECT_EQ(-1, blobmsg_check_array(tb[F_TABLE], BLOBMSG_TYPE_STRING));

  // By position: the first three fields.
  const blobmsg_policy positional[] = {{nullptr, BLOBMSG_TYPE_STRING},
                                       {nullptr, BLOBMSG_TYPE_STRING},
                                       {nullptr, BLOBMSG_TYPE_INT64}};
  blob_attr *pt[3];
  ASSERT_EQ(0, blobmsg_parse_array(positional, 3, pt, blob_data(b.b.head), blob_len(b.b.head)));
  EXPECT_NE(nullptr, pt[0]);
  EXPECT_EQ(nullptr, pt[1]);  // an int32, not a string
  EXPECT_NE(nullptr, pt[2]);
}

TEST(Blobmsg, PolicyTypeMismatchAndMissingFieldsGiveNull) {
  BlobBuf b;
  blobmsg_add_u32(&b.b, "rc", 5);
  const blobmsg_policy policy[] = {{"rc", BLOBMSG_TYPE_STRING}, {"other", BLOBMSG_TYPE_UNSPEC}};
  blob_attr *tb[2];
  EXPECT_EQ(0, blobmsg_parse(policy, 2, tb, blob_data(b.b.head), blob_len(b.b.head)));
  EXPECT_EQ(nullptr, tb[0]);
  EXPECT_EQ(nullptr, tb[1]);
  // Getters on a field too short for the type read 0 instead of past the field.
  blob_attr *any[1];
  const blobmsg_policy loose[] = {{"rc", BLOBMSG_TYPE_UNSPEC}};
  blobmsg_parse(loose, 1, any, blob_data(b.b.head), blob_len(b.b.head));
  ASSERT_NE(nullptr, any[0]);
  EXPECT_EQ(0u, blobmsg_get_u64(any[0]));
}

// The stand-in refuses what the router's library takes on trust (the callers never pass it).
#ifndef VORN_REAL_PLATFORM
TEST(Blobmsg, RefusesValuesThatWouldCorruptTheMessage) {
  BlobBuf b;
  blobmsg_add_string(&b.b, "ok", "1");
  const unsigned before = blob_raw_len(b.b.head);
  EXPECT_EQ(-1, blobmsg_add_field(&b.b, BLOBMSG_TYPE_STRING, "s", "abc", 3));  // no terminator
  EXPECT_EQ(-1, blobmsg_add_field(&b.b, BLOBMSG_TYPE_INT32, "i", "abcdefgh", 8));
  EXPECT_EQ(-1, blobmsg_add_field(&b.b, BLOBMSG_TYPE_TABLE, "t", "garbage!", 8));
  EXPECT_EQ(-1, blobmsg_add_field(&b.b, 42, "t", nullptr, 0));
  EXPECT_EQ(-1, blobmsg_add_string(&b.b, "null", nullptr));
  EXPECT_EQ(before, blob_raw_len(b.b.head));
  EXPECT_EQ(1, blobmsg_check_array(b.b.head, BLOBMSG_TYPE_UNSPEC));
}
#endif

TEST(Blobmsg, GrowingKeepsOpenContainersIntact) {
  BlobBuf b;
  void *outer = blobmsg_open_table(&b.b, "outer");
  void *arr = blobmsg_open_array(&b.b, "values");
  const std::string text(100, 'v');
  for (int i = 0; i < 2000; ++i)  // forces many reallocations while two containers are open
    ASSERT_EQ(0, blobmsg_add_string(&b.b, nullptr, text.c_str()));
  blobmsg_close_array(&b.b, arr);
  blobmsg_add_u32(&b.b, "after", 9);
  blobmsg_close_table(&b.b, outer);
  ASSERT_EQ(1, blobmsg_check_array(b.b.head, BLOBMSG_TYPE_TABLE));
  blob_attr *tb[1];
  const blobmsg_policy p[] = {{"outer", BLOBMSG_TYPE_TABLE}};
  blobmsg_parse(p, 1, tb, blob_data(b.b.head), blob_len(b.b.head));
  ASSERT_NE(nullptr, tb[0]);
  blob_attr *inner[2];
  const blobmsg_policy q[] = {{"values", BLOBMSG_TYPE_ARRAY}, {"after", BLOBMSG_TYPE_INT32}};
  blobmsg_parse(q, 2, inner, blobmsg_data(tb[0]), blobmsg_data_len(tb[0]));
  ASSERT_NE(nullptr, inner[1]);
  EXPECT_EQ(9u, blobmsg_get_u32(inner[1]));
  EXPECT_EQ(2000, blobmsg_check_array(inner[0], BLOBMSG_TYPE_STRING));
}

TEST(Blobmsg, HeadersWorkFromC) {
  BlobBuf b;
  ASSERT_EQ(0, c_api_builds_message(&b.b));
  EXPECT_TRUE(bus_test::json_same(R"({"id":"vorn_mgr","n":3,"t":{"a":[true]}})",
                                  bus_test::to_json(b.b.head)));
}

// Every reader gets a heap copy of exactly the bytes, so AddressSanitizer flags any read past them.
// Returns whether the bytes parsed as fields.
bool read_everything(const std::vector<uint8_t> &bytes) {
  const size_t len = bytes.size();
  void *copy = malloc(len ? len : 1);
  if (len) memcpy(copy, bytes.data(), len);
  blob_attr *tb[F_MAX];
  const bool parsed = blobmsg_parse(kPolicy, F_MAX, tb, copy, static_cast<unsigned>(len)) == 0;
  if (parsed) {
    for (blob_attr *a : tb) {
      if (!a) continue;
      blobmsg_get_u64(a);
      blobmsg_get_string(a);
      free(blobmsg_format_json_with_cb(a, false, nullptr, nullptr, 0));
      free(blobmsg_format_json(a, true));
      blob_attr *pos;
      unsigned int rem;
      blobmsg_for_each_attr(pos, a, rem) blobmsg_name(pos);
    }
  }
  if (len >= sizeof(blob_attr)) {
    auto *attr = static_cast<blob_attr *>(copy);
    if (blob_raw_len(attr) <= len) {
      blobmsg_check_attr(attr, true);
      if (blobmsg_check_array(attr, BLOBMSG_TYPE_UNSPEC) >= 0)
        free(blobmsg_format_json(attr, true));
    }
  }
  free(copy);
  return parsed;
}

TEST(BlobmsgFuzz, RandomAndMutatedBytesNeverReadOutOfBounds) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);

  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> bytes(static_cast<size_t>(rng() % 96));
    for (auto &x : bytes) x = static_cast<uint8_t>(byte(rng));
    // Plausible headers make the checks go deeper than pure noise would.
    if (bytes.size() >= 4 && (i & 1)) {
      const uint32_t word = htobe32(BLOB_ATTR_EXTENDED | (static_cast<uint32_t>(rng() % 10) << 24) |
                                    static_cast<uint32_t>(rng() % (bytes.size() + 8)));
      memcpy(bytes.data(), &word, 4);
    }
    read_everything(bytes);
  }

  BlobBuf b;
  build_sample(&b.b);
  const auto *start = static_cast<const uint8_t *>(blob_data(b.b.head));
  const std::vector<uint8_t> valid(start, start + blob_len(b.b.head));
  read_everything(valid);
  for (size_t cut = 0; cut < valid.size(); ++cut)  // every truncation
    read_everything(
        std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut)));
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {  // a few corrupted bytes each
    std::vector<uint8_t> mutated = valid;
    for (int k = 0; k <= static_cast<int>(rng() % 4); ++k)
      mutated[rng() % mutated.size()] = static_cast<uint8_t>(byte(rng));
    parsed += read_everything(mutated);
  }
  // Many corruptions only change values: those must still reach the readers above.
  EXPECT_GT(parsed, 1000);
}

TEST(BlobmsgFuzz, DeepNestingIsRefusedNotOverflowed) {
  BlobBuf b;
  std::vector<void *> cookies;
  for (int i = 0; i < 200; ++i) cookies.push_back(blobmsg_open_table(&b.b, "t"));
  for (auto it = cookies.rbegin(); it != cookies.rend(); ++it) blobmsg_close_table(&b.b, *it);
  blob_attr *tb[1];
  const blobmsg_policy p[] = {{"t", BLOBMSG_TYPE_TABLE}};
  EXPECT_EQ(-1, blobmsg_parse(p, 1, tb, blob_data(b.b.head), blob_len(b.b.head)));
  EXPECT_EQ(nullptr, tb[0]);
  EXPECT_EQ(nullptr, blobmsg_format_json(b.b.head, true));
}

}  // namespace
