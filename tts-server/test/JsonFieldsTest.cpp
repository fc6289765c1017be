// The key-file reader of the speech service: members of a JSON object, and
// text that is not JSON refused.

#include <gtest/gtest.h>

#include <string>

#include "JsonFields.h"

namespace {

using VxTts::JsonFields;

TEST(JsonFieldsTest, ReadsTopLevelMembersOfAKeyFile) {
  JsonFields json;
  ASSERT_TRUE(json.Parse(R"( {"type": "service_account",
      "private_key": "-----BEGIN-----\nAB\/CD\n-----END-----\n",
      "nested": {"a": [1, 2, {"b": "}"}], "c": null},
      "name": "caf\u00e9 \ud83d\ude00 \"q\"",
      "iat": 1700000000, "exp": 1.7e9, "frac": 1.5, "flag": true } )"));
  std::string v;
  ASSERT_TRUE(json.GetString("private_key", &v));
  EXPECT_EQ(v, "-----BEGIN-----\nAB/CD\n-----END-----\n");
  ASSERT_TRUE(json.GetString("name", &v));
  EXPECT_EQ(v, "caf\xC3\xA9 \xF0\x9F\x98\x80 \"q\"");
  EXPECT_TRUE(json.Has("nested"));
  EXPECT_FALSE(json.GetString("nested", &v));
  EXPECT_FALSE(json.Has("b")) << "members of nested objects are not top-level";
  long long n = 0;
  EXPECT_TRUE(json.GetInt("iat", &n));
  EXPECT_EQ(n, 1700000000);
  EXPECT_TRUE(json.GetInt("exp", &n));
  EXPECT_EQ(n, 1700000000);
  EXPECT_FALSE(json.GetInt("frac", &n));
  EXPECT_FALSE(json.GetInt("type", &n));
  EXPECT_FALSE(json.GetInt("flag", &n));
  EXPECT_FALSE(json.GetString("missing", &v));
}

TEST(JsonFieldsTest, RejectsMalformedText) {
  for (const char* bad : {"", "{", "[1]", "{\"a\":}", "{\"a\":1,}", "{\"a\":\"x}", "{} x",
                          "{\"a\":tru}", "{\"a\":\"\\ud800\"}", "{\"a\":\"tab\there\"}", "{a:1}",
                          "{\"a\":[1,2}", "{\"a\":\"\\q\"}", "{\"a\":-}"}) {
    JsonFields json;
    EXPECT_FALSE(json.Parse(bad)) << bad;
  }
}

TEST(JsonFieldsTest, RefusesDeeplyNestedValuesButReadsOrdinaryNesting) {
  const auto nested = [](int depth) {
    return "{\"a\": " + std::string(depth, '[') + std::string(depth, ']') + ", \"b\": \"x\"}";
  };
  JsonFields json;
  ASSERT_TRUE(json.Parse(nested(60)));
  std::string b;
  EXPECT_TRUE(json.GetString("b", &b));
  EXPECT_FALSE(json.Parse(nested(200)));
  EXPECT_FALSE(json.Parse(nested(100000)));
  EXPECT_FALSE(json.GetString("b", &b)) << "a refused text leaves no members behind";
}

}  // namespace
