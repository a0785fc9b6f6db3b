// JSON -> blobmsg -> JSON text must give back the same document.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "support/bus_test_support.h"

namespace {

using bus_test::BlobBuf;

std::string round_trip(const std::string &json, int indent = -1) {
  BlobBuf b;
  if (!blobmsg_add_json_from_string(&b.b, json.c_str())) return "<refused>";
  char *text = blobmsg_format_json_with_cb(b.b.head, true, nullptr, nullptr, indent);
  std::string out = text ? text : "<null>";
  free(text);
  return out;
}

TEST(BlobmsgJson, DocumentsRoundTrip) {
  const char *docs[] = {
      R"({"GetDevList":null})",
      R"({"zero":0,"neg":-1,"max":2147483647,"min":-2147483648,"above":2147483648,"huge":-9007199254740993})",
      R"({"t":true,"f":false})",
      R"({"d":0.5,"whole":3.0,"neg":-1.25,"big":-123456789.125})",  // six decimals hold them
      R"({"s":"quote \" backslash \\ slash / tab \t nl \n cr \r ctl \u0001 utf8 \u00e9\u20ac"})",
      R"({"empty":"","obj":{},"arr":[]})",
      R"({"nested":{"a":[1,"two",{"three":[3.5,null,true]}],"b":{"c":{"d":"deep"}}}})",
      R"({"":"empty key","same":1})",
  };
  for (const char *doc : docs) {
    const std::string text = round_trip(doc);
    EXPECT_TRUE(bus_test::json_same(doc, text)) << doc << "\n -> " << text;
    // Indented output is the same document.
    EXPECT_TRUE(bus_test::json_same(doc, round_trip(doc, 0))) << doc;
  }
}

TEST(BlobmsgJson, NullIsAFieldWithoutData) {
  BlobBuf b;
  ASSERT_TRUE(blobmsg_add_json_from_string(&b.b, R"({"GetDevList":null})"));
  const blobmsg_policy p[] = {{"GetDevList", BLOBMSG_TYPE_UNSPEC}};
  blob_attr *tb[1];
  blobmsg_parse(p, 1, tb, blob_data(b.b.head), blob_len(b.b.head));
  ASSERT_NE(nullptr, tb[0]);
  EXPECT_EQ(BLOBMSG_TYPE_UNSPEC, blobmsg_type(tb[0]));
  EXPECT_EQ(0u, blobmsg_data_len(tb[0]));
  EXPECT_EQ(R"({"GetDevList":null})", bus_test::to_json(b.b.head));
}

TEST(BlobmsgJson, AcceptsSingleQuotesAndRefusesNonObjects) {
  EXPECT_EQ(R"({"action":4})", round_trip("{'action':4}"));
  EXPECT_EQ("<refused>", round_trip("[1,2]"));
  EXPECT_EQ("<refused>", round_trip("42"));
  EXPECT_EQ("<refused>", round_trip("{broken"));
  BlobBuf b;
  EXPECT_FALSE(blobmsg_add_json_from_string(&b.b, nullptr));
}

TEST(BlobmsgJson, FormatterHonoursCallbackAndListMode) {
  BlobBuf b;
  ASSERT_TRUE(blobmsg_add_json_from_string(&b.b, R"({"secret":"x","list":[1,2],"n":5})"));
  auto hide = [](void *priv, blob_attr *attr) -> const char * {
    ++*static_cast<int *>(priv);
    return strcmp(blobmsg_name(attr), "secret") == 0 ? "\"***\"" : nullptr;
  };
  int calls = 0;
  char *text = blobmsg_format_json_with_cb(b.b.head, true, hide, &calls, -1);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ(R"({"secret":"***","list":[1,2],"n":5})", text);
  EXPECT_GE(calls, 3);
  free(text);

  // An array field in list mode formats as a JSON array; a single field without list as its value.
  const blobmsg_policy p[] = {{"list", BLOBMSG_TYPE_ARRAY}, {"n", BLOBMSG_TYPE_INT32}};
  blob_attr *tb[2];
  blobmsg_parse(p, 2, tb, blob_data(b.b.head), blob_len(b.b.head));
  text = blobmsg_format_json(tb[0], true);
  EXPECT_STREQ("[1,2]", text);
  free(text);
  text = blobmsg_format_json(tb[1], false);
  EXPECT_STREQ("5", text);
  free(text);
  EXPECT_EQ(nullptr, blobmsg_format_json(nullptr, true));
}

// Doubles with six decimals as the router's library writes them, and non-finite ones as null
// where it writes invalid JSON.
TEST(BlobmsgJson, DoublesAsTheRouterWritesThemAndNonFiniteOnesValidJson) {
  BlobBuf b;
  blobmsg_add_double(&b.b, "half", 1.5);
  blobmsg_add_double(&b.b, "negative", -20.25);
  blobmsg_add_double(&b.b, "tiny", 1e-9);
  blobmsg_add_double(&b.b, "nan", std::numeric_limits<double>::quiet_NaN());
  blobmsg_add_double(&b.b, "inf", std::numeric_limits<double>::infinity());
  char *text = blobmsg_format_json(b.b.head, true);
  EXPECT_STREQ(R"({"half":1.500000,"negative":-20.250000,"tiny":0.000000,"nan":null,"inf":null})", text);
  free(text);
  BlobBuf big;
  blobmsg_add_double(&big.b, "max", std::numeric_limits<double>::max());
  const std::string max_text = bus_test::to_json(big.b.head);
  EXPECT_EQ(max_text.size(), std::string(R"({"max":})").size() + 309 + 7) << max_text;
}

}  // namespace
