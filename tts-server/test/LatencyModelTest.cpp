// The speech service's latency model: when a reply is due.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "LatencyModel.h"

namespace {

TEST(LatencyModelTest, ReplyTimeCountsCharactersNotBytesAndRefusesBadValues) {
  using VxTts::LatencyModel;
  EXPECT_EQ(LatencyModel::CountCharacters(""), 0u);
  EXPECT_EQ(LatencyModel::CountCharacters("abc"), 3u);
  EXPECT_EQ(LatencyModel::CountCharacters("caf\xC3\xA9"), 4u);                  // café
  EXPECT_EQ(LatencyModel::CountCharacters("\xE6\x97\xA5\xE6\x9C\xAC"), 2u);     // 日本
  EXPECT_EQ(LatencyModel::CountCharacters("\xF0\x9F\x98\x80!"), 2u);          // emoji + !

  LatencyModel model;
  EXPECT_EQ(model.ReplyTime("anything").count(), 0) << "off by default";
  model.Set(150, 1.0);
  EXPECT_EQ(model.ReplyTime("").count(), 150000);
  EXPECT_EQ(model.ReplyTime("\xE6\x97\xA5\xE6\x9C\xAC").count(), 152000);
  model.Set(0, 0.25);
  EXPECT_EQ(model.ReplyTime("abc").count(), 750);
  model.Set(0, 0);
  EXPECT_EQ(model.ReplyTime("abc").count(), 0);
  // Values past the limits turn that half of the model off.
  model.Set(-1, std::nan(""));
  EXPECT_EQ(model.ReplyTime("abc").count(), 0);

  std::string error;
  EXPECT_TRUE(LatencyModel::Valid(0, 0, &error));
  EXPECT_TRUE(LatencyModel::Valid(150, 0.5, &error));
  for (const auto& [first, per_char] :
       std::vector<std::pair<long long, double>>{{-1, 0},
                                                 {0, -0.5},
                                                 {0, std::nan("")},
                                                 {0, INFINITY},
                                                 {0, 2e6},
                                                 {LatencyModel::kMaxFirstByteMs + 1, 0}}) {
    SCOPED_TRACE(testing::Message() << first << " " << per_char);
    error.clear();
    EXPECT_FALSE(LatencyModel::Valid(first, per_char, &error));
    EXPECT_NE(error.find(first != 0 ? "first-byte" : "per character"), std::string::npos) << error;
  }
}

}  // namespace
