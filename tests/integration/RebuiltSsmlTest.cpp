// SSML rebuilt by the module (bypass-ssml off) reaches the service as a
// well-formed document, whatever namespace prefixes the body used.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

class RebuiltSsmlTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
    WriteConfig("bypass-ssml=\"false\"");
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  vxhost::Channel* m_Channel = nullptr;
};

// The service refused each of these rebuilt documents as malformed, and the
// SPEAK failed.
TEST_F(RebuiltSsmlTest, NamesThatNeedTheirPrefixNoLongerFailTheSpeak) {
  const std::pair<std::string, std::string> cases[] = {
      {"<speak xmlns:s=\"urn:s\"><p s:=\"v\">one</p></speak>", "<p>one</p>"},
      {"<speak xmlns:s=\"urn:s\"><s:>two</s:></speak>", "two"},
      {"<speak xmlns:a=\"urn:a\" xmlns:b=\"urn:b\"><p a:x=\"1\" b:x=\"2\">three</p></speak>",
       "<p x=\"1\">three</p>"},
  };
  size_t call = 0;
  for (const auto& c : cases) {
    SpeakToCompletion(m_Channel, c.first, "application/ssml+xml");
    auto requests = m_Server->calls().Requests();
    ASSERT_EQ(requests.size(), call + 1) << c.first;
    EXPECT_EQ(requests[call].input().ssml(),
              "<speak version=\"1.0\" xml:lang=\"en-US\">" + c.second + "</speak>");
    ++call;
  }
}

// A language from the request header is written into the document escaped,
// and reported to the service as it was given.
TEST_F(RebuiltSsmlTest, HeaderLanguageWithMarkupStaysWellFormed) {
  SpeakToCompletion(m_Channel, "<speak>four</speak>", "application/ssml+xml",
                    {"Speech-Language: en-US\"x"});
  auto requests = m_Server->calls().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].input().ssml(),
            "<speak version=\"1.0\" xml:lang=\"en-US&quot;x\">four</speak>");
  EXPECT_EQ(requests[0].voice().language_code(), "en-US\"x");
}

}  // namespace
}  // namespace vxtest
