// The configuration document: where it is found, how it is parsed, which
// names are accepted, and how validation resolves and checks its paths.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Engine.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

namespace fs = std::filesystem;

class EngineConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Scratch.IsValid());
    m_Root = m_Scratch.Path();
    apr_pool_create(&m_Pool, nullptr);
    m_Layout = apt_default_dir_layout_create(m_Root.c_str(), m_Pool);
    for (const char* dir : {"conf", "data", "var/status"}) fs::create_directories(m_Root / dir);
    Write("data/key.json", "{}");
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }
  void Write(const std::string& name, const std::string& content) {
    fs::create_directories((m_Root / name).parent_path());
    std::ofstream(m_Root / name) << content;
  }
  bool Load(const std::string& xml) {
    Write("conf/vexora.xml", xml);
    return m_Engine.LoadConfig("vexora.xml", "vexora", m_Layout, m_Pool);
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Scratch;
  apr_pool_t* m_Pool = nullptr;
  fs::path m_Root;
  apt_dir_layout_t* m_Layout = nullptr;
  Engine m_Engine{"VXS"};
  vxhost::LogCapture m_Log{true, APT_PRIO_DEBUG};
};

TEST_F(EngineConfigTest, DocumentsThatCannotBeReadFailWithTheirMessage) {
  EXPECT_FALSE(m_Engine.LoadConfig("vexora.xml", "vexora", m_Layout, m_Pool));
  EXPECT_EQ(m_Log.Count("Failed to Open Config File"), 1u);
  EXPECT_FALSE(Load("this is not xml <"));
  EXPECT_EQ(m_Log.Count("Failed to Parse Config File"), 1u);
  EXPECT_FALSE(Load("<other gapp-credentials-file=\"key.json\"/>"));
  EXPECT_FALSE(Load("<VEXORA gapp-credentials-file=\"key.json\"/>"));
  EXPECT_EQ(m_Log.Count("Unknown Document"), 2u);
  EXPECT_FALSE(m_Engine.LoadConfig("vexora.xml", "vexora", nullptr, m_Pool));
}

// Whoever has to mend a document is told where the parser gave up and why.
TEST_F(EngineConfigTest, ParseFailureNamesTheLineAndTheParsersReason) {
  const std::string path = (m_Root / "conf" / "vexora.xml").string();
  EXPECT_FALSE(Load("<?xml version=\"1.0\"?>\n<!-- first line\n  run it with --help -->\n"
                    "<vexora gapp-credentials-file=\"key.json\"/>\n"));
  EXPECT_EQ(m_Log.Count("Failed to Parse Config File [" + path +
                        "] at line 3: XML parser error code: not well-formed (invalid token)"),
            1u);
  // A line longer than the read buffer still counts as one line.
  EXPECT_FALSE(Load("<vexora gapp-credentials-file=\"key.json\">\n<!-- " +
                    std::string(5000, 'x') + " -->\n<synth-settings></vexora>\n"));
  EXPECT_EQ(m_Log.Count("Failed to Parse Config File [" + path +
                        "] at line 3: XML parser error code: mismatched tag"),
            1u);
  // What is only found at the end of the text is reported so.
  EXPECT_FALSE(Load("<vexora gapp-credentials-file=\"key.json\">\n"));
  EXPECT_EQ(m_Log.Count("Failed to Parse Config File [" + path + "] at its end: XML parser error"),
            1u);
  EXPECT_FALSE(Load(""));
  EXPECT_EQ(m_Log.Count("Failed to Parse Config File [" + path + "] at its end: XML parser error"),
            2u);
}

TEST_F(EngineConfigTest, UnknownNamesAreWarnedAboutAndTheRestIsLoaded) {
  ASSERT_TRUE(Load(
      "<vexora color=\"blue\" GAPP-Credentials-File=\"key.json\">"
      "<mystery/><SYNTH-SETTINGS Language=\"de-DE\" flavour=\"x\"/></vexora>"));
  EXPECT_EQ(m_Log.Count("Unknown Document Attribute <color>"), 1u);
  EXPECT_EQ(m_Log.Count("Unknown Element <mystery>"), 1u);
  EXPECT_EQ(m_Log.Count("Unknown Synth Attribute <flavour>"), 1u);
  EXPECT_EQ(m_Engine.GetSynthSettings().m_Language, "de-DE");
  EXPECT_EQ(m_Engine.GetCredentialsFile(), (m_Root / "data" / "key.json").string());
}

TEST_F(EngineConfigTest, ElementGivenTwiceKeepsTheLaterValues) {
  ASSERT_TRUE(Load(
      "<vexora gapp-credentials-file=\"key.json\"><synth-settings language=\"fr-FR\" "
      "region=\"eu\"/><synth-settings language=\"it-IT\"/></vexora>"));
  EXPECT_EQ(m_Engine.GetSynthSettings().m_Language, "it-IT");
  EXPECT_EQ(m_Engine.GetSynthSettings().m_Region, "eu");
}

// The fallback's endpoint is composed as the primary's is: its own service
// URI when given, otherwise the regional endpoint of its region.
TEST_F(EngineConfigTest, FallbackTargetIsComposedLikeThePrimary) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"fallback-region=\"europe-west1\"", "europe-west1-texttospeech.googleapis.com:443"},
      {"fallback-region=\"global\"", "texttospeech.googleapis.com:443"},
      {"fallback-region=\"europe-west1\" fallback-service-uri=\"127.0.0.1:7\"", "127.0.0.1:7"},
      {"fallback-service-uri=\"tts.internal:443\"", "tts.internal:443"}};
  for (const auto& c : cases) {
    Engine engine("VXS");
    Write("conf/vexora.xml", "<vexora gapp-credentials-file=\"key.json\"><synth-settings " +
                                 c.first + " service-uri=\"127.0.0.1:5\"/></vexora>");
    ASSERT_TRUE(engine.LoadConfig("vexora.xml", "vexora", m_Layout, m_Pool));
    EXPECT_EQ(engine.ComposeFallbackTarget(), c.second) << c.first;
  }
}

TEST_F(EngineConfigTest, RelativePathsResolveAgainstTheLayout) {
  const std::string xml =
      "<vexora gapp-credentials-file=\"key.json\" ssl-roots-file=\"roots.pem\">"
      "<waveform-manager waveform-folder=\"waves\"/>"
      "<monitoring-agent><usage-change-handler>"
      "<update-usage enable=\"true\" status-file=\"usage.status\"/>"
      "</usage-change-handler></monitoring-agent></vexora>";
  EXPECT_FALSE(Load(xml));
  // The roots file does not exist yet: validation stops there.
  EXPECT_EQ(m_Log.Count("Failed to Stat SSL Roots File " + (m_Root / "data/roots.pem").string()),
            1u);
  Write("data/roots.pem", "pem");
  Engine engine("VXS");
  Write("conf/vexora.xml", xml);
  ASSERT_TRUE(engine.LoadConfig("vexora.xml", "vexora", m_Layout, m_Pool));
  EXPECT_EQ(engine.GetSslRootsFile(), (m_Root / "data/roots.pem").string());
  EXPECT_EQ(engine.GetWaveformManagerSettings().m_WaveformFolder,
            (m_Root / "var/waves").string());
  // The record folder is empty by default: it is the var directory itself.
  EXPECT_EQ(engine.GetSdrManagerSettings().m_RecordFolder, (m_Root / "var").string() + "/");
  EXPECT_EQ(engine.GetMonitoringSettings().m_UsageChangeHandler.m_UsageFile.m_StatusFile,
            (m_Root / "var/status/usage.status").string());
}

TEST_F(EngineConfigTest, MissingCredentialsFileFailsValidation) {
  EXPECT_FALSE(Load("<vexora/>"));
  EXPECT_EQ(m_Log.Count("Failed to Find Credentials File " + (m_Root / "data").string()), 1u);
}

TEST_F(EngineConfigTest, SslRootsNamingADirectoryFails) {
  EXPECT_FALSE(Load("<vexora gapp-credentials-file=\"key.json\" ssl-roots-file=\"" +
                    m_Root.string() + "\"/>"));
  EXPECT_EQ(m_Log.Count("Failed to Stat SSL Roots File " + m_Root.string()), 1u);
}

}  // namespace
}  // namespace VXS
