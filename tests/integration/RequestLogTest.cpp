// What the log tells of a request's text: by default the INFO print of the
// request shows it whole; log-request-text="false" shows its length instead,
// for plain text, SSML and text beyond ASCII alike.
#include "ModuleFixture.h"

namespace vxtest {
namespace {

class RequestLogTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& synth_attributes) {
    WriteConfig(synth_attributes);
    StartEngine();
    m_Channel = OpenChannel("ch1");
    ASSERT_NE(m_Channel, nullptr);
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(RequestLogTest, TheRequestTextIsPrintedByDefault) {
  Start("");
  vxhost::LogCapture info(true, APT_PRIO_INFO);
  SpeakToCompletion(m_Channel, "account 12345678");
  EXPECT_EQ(info.Count("Start Async Synth"), 1u);
  EXPECT_EQ(info.Count("account 12345678"), 1u);
  EXPECT_EQ(info.Count("characters]"), 0u);
}

TEST_F(RequestLogTest, WithheldTextShowsItsLengthOnly) {
  Start("log-request-text=\"false\"");
  vxhost::LogCapture info(true, APT_PRIO_INFO);
  SpeakToCompletion(m_Channel, "account 12345678");
  // Characters, not bytes: five letters in seven bytes.
  SpeakToCompletion(m_Channel, "Gr\xC3\xBC\xC3\x9F" "e");
  const std::string ssml =
      "<?xml version=\"1.0\"?><speak version=\"1.0\" xml:lang=\"en-US\" "
      "xmlns=\"http://www.w3.org/2001/10/synthesis\">name Jane Roe</speak>";
  SpeakToCompletion(m_Channel, ssml, "application/ssml+xml");
  EXPECT_EQ(info.Count("Start Async Synth"), 3u);
  EXPECT_EQ(info.Count("12345678"), 0u);
  EXPECT_EQ(info.Count("Gr\xC3\xBC"), 0u);
  EXPECT_EQ(info.Count("Jane Roe"), 0u);
  EXPECT_EQ(info.Count("\"text\":\"[16 characters]\""), 1u);
  EXPECT_EQ(info.Count("\"text\":\"[5 characters]\""), 1u);
  const std::string ssml_length = std::to_string(ssml.size()) + " characters]";
  EXPECT_EQ(info.Count("\"ssml\":\"[" + ssml_length + "\""), 1u);
  // The rest of the request is still there to read.
  EXPECT_EQ(info.Count("\"languageCode\":\"en-US\""), 3u);
  // The service was sent the text itself.
  ASSERT_EQ(m_Server->calls().Requests().size(), 3u);
  EXPECT_EQ(m_Server->calls().Requests().at(0).input().text(), "account 12345678");
}

TEST_F(RequestLogTest, AValueOtherThanABooleanKeepsTheDefault) {
  Start("log-request-text=\"no\"");
  EXPECT_EQ(m_Log->Count("Unexpected Value <no> for Boolean Attribute <log-request-text>"), 1u);
  vxhost::LogCapture info(true, APT_PRIO_INFO);
  SpeakToCompletion(m_Channel, "account 12345678");
  EXPECT_EQ(info.Count("account 12345678"), 1u);
}

}  // namespace
}  // namespace vxtest
