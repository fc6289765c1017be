// The SSML check of the speech service.

#include <gtest/gtest.h>

#include <string>

#include "RequestCheck.h"

namespace {

TEST(SsmlCheckTest, AcceptsWellFormedSpeakDocumentsOnly) {
  std::string error;
  EXPECT_TRUE(VxTts::CheckSsml(
      R"(<?xml version="1.0"?><speak version="1.0" xmlns="http://www.w3.org/2001/10/synthesis" )"
      R"(xml:lang="en-US">A &amp; B <break time="1s"/><prosody rate="slow">x</prosody></speak>)",
      &error))
      << error;
  const char* bad[] = {"hello",
                       "<speak>hello",
                       "<speak>a</speek>",
                       "<speak>a &nosuch; b</speak>",
                       "<speak/><speak/>",
                       "<prosody>hi</prosody>",
                       "<speak><p>unclosed</speak>"};
  for (const char* ssml : bad) {
    EXPECT_FALSE(VxTts::CheckSsml(ssml, &error)) << ssml;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
