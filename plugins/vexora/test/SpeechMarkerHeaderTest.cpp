// The Speech-Marker header value the channel writes: a 64-bit NTP time and
// the mark's name, which can never end the header line (the host writes the
// value as it stands).
#include <apr_time.h>
#include <gtest/gtest.h>

#include <string>

#include "Channel.h"

namespace VXS {
namespace {

const unsigned long long kNtpSeconds1970 = 2208988800ULL;

TEST(SpeechMarkerHeaderTest, TimestampIsNtpTimeInDecimal) {
  EXPECT_EQ(Channel::FormatSpeechMarker(0, ""),
            "timestamp=" + std::to_string(kNtpSeconds1970 << 32));
  // Half a second is half of the 32-bit fraction.
  const apr_time_t time = apr_time_from_sec(1700000000) + 500000;
  EXPECT_EQ(Channel::FormatSpeechMarker(time, "here"),
            "timestamp=" + std::to_string(((kNtpSeconds1970 + 1700000000ULL) << 32) | 0x80000000ULL) +
                ";here");
}

TEST(SpeechMarkerHeaderTest, ControlCharactersInTheNameBecomeBlanks) {
  const std::string value = Channel::FormatSpeechMarker(
      0, std::string("a\r\nCompletion-Cause: 002\x7f\t;b\0c", 30));
  EXPECT_EQ(value.substr(value.find(';')), std::string(";a  Completion-Cause: 002  ;b c"));
  // Everything else, ';' and UTF-8 included, is kept.
  const std::string name = "caf\xc3\xa9;2";
  EXPECT_EQ(Channel::FormatSpeechMarker(0, name).substr(29), ";" + name);
}

}  // namespace
}  // namespace VXS
