// Prosody conversions and matching, quote removal, and the settings loaders.
#include <apr_general.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Plugin.h"
#include "Settings.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

mrcp_prosody_rate_t Rate(mrcp_prosody_rate_type_e type, float value) {
  mrcp_prosody_rate_t rate;
  rate.type = type;
  if (type == PROSODY_RATE_TYPE_LABEL)
    rate.value.label = static_cast<mrcp_prosody_rate_label_e>(value);
  else
    rate.value.relative = value;
  return rate;
}

mrcp_prosody_volume_t Volume(mrcp_prosody_volume_type_e type, float value) {
  mrcp_prosody_volume_t volume;
  volume.type = type;
  if (type == PROSODY_VOLUME_TYPE_LABEL)
    volume.value.label = static_cast<mrcp_prosody_volume_label_e>(value);
  else
    volume.value.numeric = value;
  return volume;
}

const auto kLabel = PROSODY_RATE_TYPE_LABEL;
const auto kRelative = PROSODY_RATE_TYPE_RELATIVE_CHANGE;

// The service refuses speaking rates above 2.0, so x-fast and every relative
// rate from 200 up give 2.0 rather than a failed request.
TEST(ProsodyConversionTest, SpeakingRateStaysWithinServiceRange) {
  const std::pair<mrcp_prosody_rate_t, double> cases[] = {{Rate(kLabel, PROSODY_RATE_XSLOW), 0.25},
                                                          {Rate(kLabel, PROSODY_RATE_SLOW), 0.5},
                                                          {Rate(kLabel, PROSODY_RATE_MEDIUM), 1.0},
                                                          {Rate(kLabel, PROSODY_RATE_FAST), 2.0},
                                                          {Rate(kLabel, PROSODY_RATE_XFAST), 2.0},
                                                          {Rate(kLabel, PROSODY_RATE_DEFAULT), 1.0},
                                                          {Rate(kRelative, 150), 1.5},
                                                          {Rate(kRelative, 50), 0.5},
                                                          {Rate(kRelative, 10), 0.25},
                                                          {Rate(kRelative, 200), 2.0},
                                                          {Rate(kRelative, 800), 2.0},
                                                          {Rate(kRelative, INFINITY), 2.0}};
  for (const auto& c : cases) {
    double out = -1;
    EXPECT_TRUE(GenerateProsodyRate(c.first, out));
    EXPECT_DOUBLE_EQ(c.second, out);
  }
}

TEST(ProsodyConversionTest, VolumeGainIsClampedAndRelativeIsZero) {
  const std::pair<mrcp_prosody_volume_t, double> cases[] = {
      {Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_SILENT), -96},
      {Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_XSOFT), -12},
      {Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_LOUD), 6},
      {Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_XLOUD), 12},
      {Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_DEFAULT), 0},
      {Volume(PROSODY_VOLUME_TYPE_NUMERIC, 40), 16},
      {Volume(PROSODY_VOLUME_TYPE_NUMERIC, -200), -96},
      {Volume(PROSODY_VOLUME_TYPE_NUMERIC, -3.5f), -3.5},
      {Volume(PROSODY_VOLUME_TYPE_RELATIVE_CHANGE, 250), 0}};
  for (const auto& c : cases) {
    double out = -1;
    EXPECT_TRUE(GenerateProsodyVolume(c.first, out));
    EXPECT_DOUBLE_EQ(c.second, out);
  }
}

TEST(ProsodyConversionTest, UnconvertibleValuesSetNothing) {
  double out = 7;
  EXPECT_FALSE(GenerateProsodyRate(Rate(kLabel, PROSODY_RATE_UNKNOWN), out));
  EXPECT_FALSE(GenerateProsodyRate(Rate(PROSODY_RATE_TYPE_UNKNOWN, 150), out));
  EXPECT_FALSE(GenerateProsodyRate(Rate(kRelative, NAN), out));
  EXPECT_FALSE(
      GenerateProsodyVolume(Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_UNKNOWN), out));
  EXPECT_FALSE(GenerateProsodyVolume(Volume(PROSODY_VOLUME_TYPE_UNKNOWN, 3), out));
  EXPECT_FALSE(GenerateProsodyVolume(Volume(PROSODY_VOLUME_TYPE_NUMERIC, NAN), out));
  EXPECT_EQ(7, out);
}

TEST(ProsodyCompareTest, SetRateAndVolumeMustMatchExactly) {
  ProsodyParams request, stored;
  EXPECT_TRUE(request.Compare(stored));
  request.m_Rate = Rate(kLabel, PROSODY_RATE_FAST);
  stored.m_Rate = Rate(kRelative, 200);
  EXPECT_FALSE(request.Compare(stored));
  request.m_Rate = stored.m_Rate = Rate(kRelative, 125);
  EXPECT_TRUE(request.Compare(stored));
  stored.m_Rate = Rate(kRelative, 125.0001f);
  EXPECT_FALSE(request.Compare(stored));
}

TEST(ProsodyCompareTest, UnsetValuesAcceptAnyButStringsMustAgree) {
  ProsodyParams request, stored;
  stored.m_Rate = Rate(kLabel, PROSODY_RATE_SLOW);
  stored.m_Volume = Volume(PROSODY_VOLUME_TYPE_NUMERIC, 6);
  request.m_Volume = Volume(PROSODY_VOLUME_TYPE_LABEL, PROSODY_VOLUME_LOUD);
  EXPECT_FALSE(request.Compare(stored));
  request.Reset();
  EXPECT_TRUE(request.Compare(stored));
  EXPECT_FALSE(stored.Compare(request));
  for (auto field : {&ProsodyParams::m_Pitch, &ProsodyParams::m_Contour, &ProsodyParams::m_Range,
                     &ProsodyParams::m_Duration}) {
    ProsodyParams a, b;
    b.*field = "x";
    EXPECT_FALSE(a.Compare(b));
    a.*field = "x";
    EXPECT_TRUE(a.Compare(b));
  }
}

TEST(RemoveQuotesTest, OnlyAnEnclosingPairIsStripped) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"voice\"", "voice"}, {"\"\"", ""}, {"\"", "\""}, {"\"open", "\"open"}, {"plain", "plain"}};
  for (const auto& c : cases) {
    std::string buffer = c.first;
    apt_str_t value = {&buffer[0], buffer.size()};
    RemoveQuotes(&value);
    EXPECT_EQ(c.second, std::string(value.buf, value.length));
    EXPECT_TRUE(value.length == buffer.size() || value.buf[value.length] == '\0');
  }
  apt_str_t empty = {nullptr, 0};
  RemoveQuotes(&empty);
  RemoveQuotes(nullptr);
}

// Parses configuration snippets and captures the log, the module's lines
// under a source of their own.
class LoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  void SetUp() override {
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_SavedSource = VXS_PLUGIN;
    ASSERT_TRUE(apt_log_source_assign("VXS-TEST", &VXS_PLUGIN));
  }
  void TearDown() override {
    VXS_PLUGIN = m_SavedSource;
    apr_pool_destroy(m_Pool);
  }

  const apr_xml_elem* Element(const std::string& xml) {
    apr_xml_parser* parser = apr_xml_parser_create(m_Pool);
    apr_xml_doc* doc = nullptr;
    apr_xml_parser_feed(parser, xml.data(), xml.size());
    if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS || !doc) {
      ADD_FAILURE() << "bad test XML: " << xml;
      static apr_xml_elem empty;
      return &empty;
    }
    return doc->root;
  }
  void LoadSynth(const std::string& attributes) {
    EXPECT_TRUE(m_Synth.Load(Element("<synth-settings " + attributes + "/>")));
  }
  void LoadMonitoring(const std::string& xml) { EXPECT_TRUE(m_Monitoring.Load(Element(xml))); }

  size_t Logged(const std::string& priority, const std::string& message,
                const std::string& source = "VXS-TEST") const {
    return m_Log.Count("[" + priority + "] [" + source + "] " + message);
  }
  size_t Warnings() const { return m_Log.Count("[WARNING]"); }

  apr_pool_t* m_Pool = nullptr;
  apt_log_source_t* m_SavedSource = nullptr;
  vxhost::LogCapture m_Log;
  SynthSettings m_Synth;
  MonitoringSettings m_Monitoring;
};

using SynthSettingsTest = LoaderTest;

TEST_F(SynthSettingsTest, BooleansAreExactAndKeepValueOnMismatch) {
  LoadSynth("bypass-ssml=\"TRUE\" normalize-ssml=\"false\" caching=\"true\" reattempt=\"yes\"");
  EXPECT_TRUE(m_Synth.m_BypassSsml);
  EXPECT_FALSE(m_Synth.m_NormalizeSsml);
  EXPECT_TRUE(m_Synth.m_Caching);
  EXPECT_FALSE(m_Synth.m_Reattempt);
  EXPECT_EQ(1u, Logged("DEBUG", "Load Synth Attribute: bypass-ssml = TRUE"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <TRUE> for Boolean Attribute <bypass-ssml>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <yes> for Boolean Attribute <reattempt>"));
  EXPECT_EQ(2u, Warnings());
  // Sentence pieces are on unless turned off exactly.
  EXPECT_TRUE(m_Synth.m_SentenceSplit);
  LoadSynth("sentence-split=\"False\"");
  EXPECT_TRUE(m_Synth.m_SentenceSplit);
  LoadSynth("sentence-split=\"false\"");
  EXPECT_FALSE(m_Synth.m_SentenceSplit);
  EXPECT_EQ(3u, Warnings());
}

TEST_F(SynthSettingsTest, GrpcLogRedirectionIgnoresCase) {
  LoadSynth("grpc-log-redirection=\"TRUE\"");
  EXPECT_TRUE(m_Synth.m_GrpcLogRedirection);
  EXPECT_EQ(0u, Warnings());
  LoadSynth("grpc-log-redirection=\"False\"");
  EXPECT_FALSE(m_Synth.m_GrpcLogRedirection);
}

TEST_F(SynthSettingsTest, NamesIgnoreCaseAndLaterAttributesWin) {
  LoadSynth("Voice-Name=\"en-US-Standard-C\" LANGUAGE=\"de-DE\" language=\"\" Speed=\"3\"");
  EXPECT_EQ("en-US-Standard-C", m_Synth.m_VoiceName);
  EXPECT_EQ("", m_Synth.m_Language);
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Synth Attribute <Speed>"));
}

TEST_F(SynthSettingsTest, ProsodyValuesAndEmptyOnesIgnored) {
  LoadSynth("prosody-rate=\"\" prosody-volume=\"\" prosody-pitch=\"\"");
  EXPECT_TRUE(ProsodyParams().Compare(m_Synth.m_Prosody));
  LoadSynth("prosody-rate=\"1.25\" prosody-volume=\"-3.5\" prosody-pitch=\"+2\"");
  EXPECT_EQ(PROSODY_RATE_TYPE_RELATIVE_CHANGE, m_Synth.m_Prosody.m_Rate.type);
  EXPECT_EQ(125.0f, m_Synth.m_Prosody.m_Rate.value.relative);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_NUMERIC, m_Synth.m_Prosody.m_Volume.type);
  EXPECT_EQ(-3.5f, m_Synth.m_Prosody.m_Volume.value.numeric);
  LoadSynth("prosody-pitch=\"\"");
  EXPECT_EQ("+2", m_Synth.m_Prosody.m_Pitch);
}

// Narrowing a number that single precision cannot hold is undefined: such a
// value is told and leaves the setting as it was.
TEST_F(SynthSettingsTest, ProsodyNumbersBeyondSinglePrecisionAreNotSet) {
  LoadSynth("prosody-rate=\"1.5\" prosody-volume=\"6\" prosody-pitch=\"+2\"");
  const std::pair<std::string, std::string> cases[] = {
      {"prosody-rate", "1e300"},   {"prosody-rate", "-1e300"},  {"prosody-rate", "3.5e36"},
      {"prosody-rate", "1e999"},   {"prosody-rate", "nan"},     {"prosody-rate", "0x1p1000"},
      {"prosody-volume", "1e39"},  {"prosody-volume", "-inf"},  {"prosody-volume", "NAN"},
      {"prosody-pitch", "1e300"},  {"prosody-pitch", "-4e38st"}};
  for (const auto& c : cases) {
    m_Log.Clear();
    LoadSynth(c.first + "=\"" + c.second + "\"");
    EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <" + c.second + "> for Attribute <" +
                                        c.first + ">"))
        << c.first << "=" << c.second;
    EXPECT_EQ(150.0f, m_Synth.m_Prosody.m_Rate.value.relative) << c.second;
    EXPECT_EQ(6.0f, m_Synth.m_Prosody.m_Volume.value.numeric) << c.second;
    EXPECT_EQ("+2", m_Synth.m_Prosody.m_Pitch) << c.second;
  }
  // The largest values single precision holds still count.
  m_Log.Clear();
  LoadSynth("prosody-rate=\"3.4e36\" prosody-volume=\"-3.4e38\" prosody-pitch=\"3.4e38\"");
  EXPECT_EQ(0u, Warnings());
  EXPECT_FLOAT_EQ(3.4e38f, m_Synth.m_Prosody.m_Rate.value.relative);
  EXPECT_FLOAT_EQ(-3.4e38f, m_Synth.m_Prosody.m_Volume.value.numeric);
  EXPECT_EQ("3.4e38", m_Synth.m_Prosody.m_Pitch);
}

// The hostile configurations the configuration fuzzer starts from.
TEST_F(SynthSettingsTest, CorpusConfigurationsLeaveOnlyNumbersSinglePrecisionHolds) {
  const std::filesystem::path corpus =
      std::filesystem::path(VX_SOURCE_DIR) / "fuzz" / "corpus" / "config";
  size_t documents = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    const apr_xml_elem* root = Element(text.str());
    SynthSettings settings;
    for (const apr_xml_elem* child = root->first_child; child; child = child->next)
      if (strcmp(child->name, "synth-settings") == 0) settings.Load(child);
    EXPECT_EQ(PROSODY_RATE_TYPE_UNKNOWN, settings.m_Prosody.m_Rate.type) << entry.path();
    EXPECT_EQ(PROSODY_VOLUME_TYPE_UNKNOWN, settings.m_Prosody.m_Volume.type) << entry.path();
    EXPECT_EQ("", settings.m_Prosody.m_Pitch) << entry.path();
    ++documents;
  }
  EXPECT_GE(documents, 7u);
  // One warning per hostile attribute of the corpus.
  EXPECT_EQ(9u, m_Log.Count("[WARNING] [VXS-TEST] Unexpected Value <"));
}

TEST_F(SynthSettingsTest, VoiceGenderRules) {
  LoadSynth("voice-gender=\"female\"");
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Synth.m_VoiceGender);
  LoadSynth("voice-gender=\"Male\"");
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Synth.m_VoiceGender);
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <Male> for Attribute <voice-gender>"));
  LoadSynth("voice-gender=\"\"");
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, m_Synth.m_VoiceGender);
}

// Out-of-range deadlines saturate rather than wrap into another value.
TEST_F(SynthSettingsTest, DeadlineIsDecimal32BitMilliseconds) {
  const std::pair<std::string, int64_t> cases[] = {{"5000", 5000},
                                                   {"abc", 0},
                                                   {"250ms", 250},
                                                   {"99999999999", INT32_MAX},
                                                   {"-99999999999", INT32_MIN}};
  for (const auto& c : cases) {
    LoadSynth("deadline=\"" + c.first + "\"");
    EXPECT_EQ(c.second, m_Synth.m_Deadline) << c.first;
  }
}

// A negative keepalive would reach the gRPC library as a time it cannot
// use: it is refused and the value before it kept; 0 (no pings) is taken.
TEST_F(SynthSettingsTest, KeepaliveIsNonNegativeMilliseconds) {
  EXPECT_EQ(60000, m_Synth.m_KeepaliveTime);
  EXPECT_EQ(20000, m_Synth.m_KeepaliveTimeout);
  LoadSynth("keepalive-time=\"30000\" keepalive-timeout=\"5000\"");
  EXPECT_EQ(30000, m_Synth.m_KeepaliveTime);
  EXPECT_EQ(5000, m_Synth.m_KeepaliveTimeout);
  LoadSynth("keepalive-time=\"-1\" keepalive-timeout=\"-5\"");
  EXPECT_EQ(30000, m_Synth.m_KeepaliveTime);
  EXPECT_EQ(5000, m_Synth.m_KeepaliveTimeout);
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <-1> for Attribute <keepalive-time>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <-5> for Attribute <keepalive-timeout>"));
  LoadSynth("keepalive-time=\"0\"");
  EXPECT_EQ(0, m_Synth.m_KeepaliveTime);
}

// A count or cool-down that is not a non-negative number would turn the
// breaker off or make it open for ever: it is refused and the value kept.
TEST_F(SynthSettingsTest, BreakerSettingsAreNonNegativeNumbers) {
  EXPECT_EQ(0, m_Synth.m_BreakerFailures);
  EXPECT_EQ(30000, m_Synth.m_BreakerCooldown);
  EXPECT_EQ("", m_Synth.m_FallbackRegion);
  EXPECT_EQ("", m_Synth.m_FallbackServiceUri);
  LoadSynth("breaker-failures=\"3\" breaker-cooldown=\"300\" fallback-region=\"europe-west1\" "
            "fallback-service-uri=\"127.0.0.1:5\"");
  EXPECT_EQ(3, m_Synth.m_BreakerFailures);
  EXPECT_EQ(300, m_Synth.m_BreakerCooldown);
  EXPECT_EQ("europe-west1", m_Synth.m_FallbackRegion);
  EXPECT_EQ("127.0.0.1:5", m_Synth.m_FallbackServiceUri);
  LoadSynth("breaker-failures=\"-1\" breaker-cooldown=\"soon\"");
  EXPECT_EQ(3, m_Synth.m_BreakerFailures);
  EXPECT_EQ(300, m_Synth.m_BreakerCooldown);
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <-1> for Attribute <breaker-failures>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <soon> for Attribute <breaker-cooldown>"));
  LoadSynth("breaker-failures=\"0\"");
  EXPECT_EQ(0, m_Synth.m_BreakerFailures);
}

TEST_F(SynthSettingsTest, StreamingVoicesArePatternsApartByBlanksOrCommas) {
  EXPECT_TRUE(m_Synth.m_StreamingVoices.empty());
  LoadSynth("streaming-voices=\" *-Chirp3-HD-*, en-GB-?,,\tlast \"");
  const std::vector<std::string> expected = {"*-Chirp3-HD-*", "en-GB-?", "last"};
  EXPECT_EQ(m_Synth.m_StreamingVoices, expected);
  // A later load replaces the list; an empty value turns streaming off.
  LoadSynth("streaming-voices=\"one\"");
  EXPECT_EQ(m_Synth.m_StreamingVoices, std::vector<std::string>{"one"});
  LoadSynth("streaming-voices=\"\"");
  EXPECT_TRUE(m_Synth.m_StreamingVoices.empty());
  EXPECT_EQ(Warnings(), 0u);
}

using MonitoringSettingsTest = LoaderTest;

TEST_F(MonitoringSettingsTest, FullElementIsLoaded) {
  LoadMonitoring(
      "<monitoring-agent refresh-period=\"30\"><usage-change-handler>"
      "<log-usage enable=\"true\" priority=\"INFO\"/>"
      "<update-usage enable=\"true\" status-file=\"usage.txt\"/></usage-change-handler>"
      "<Usage-Refresh-Handler><DUMP-CHANNELS Enable=\"true\" Status-File=\"c.txt\"/>"
      "</Usage-Refresh-Handler></monitoring-agent>");
  EXPECT_EQ(30, m_Monitoring.m_RefreshPeriod);
  const MonitoringHandler& change = m_Monitoring.m_UsageChangeHandler;
  EXPECT_TRUE(change.m_LogStatement.m_Enable);
  EXPECT_EQ(APT_PRIO_INFO, change.m_LogStatement.m_Priority);
  EXPECT_EQ("usage.txt", change.m_UsageFile.m_StatusFile);
  EXPECT_FALSE(change.m_ChannelsFile.m_Enable);
  EXPECT_TRUE(m_Monitoring.m_UsageRefreshHandler.m_ChannelsFile.m_Enable);
  EXPECT_EQ("c.txt", m_Monitoring.m_UsageRefreshHandler.m_ChannelsFile.m_StatusFile);
  EXPECT_EQ(1u, Logged("DEBUG", "Load Monitoring Attribute: refresh-period = 30"));
  EXPECT_EQ(0u, Warnings());
}

TEST_F(MonitoringSettingsTest, EnableWithWordYesWarnsAndStaysOff) {
  LoadMonitoring(
      "<monitoring-agent><usage-change-handler><log-usage enable=\"yes\"/>"
      "</usage-change-handler></monitoring-agent>");
  EXPECT_FALSE(m_Monitoring.m_UsageChangeHandler.AnyEnabled());
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <yes> for Boolean Attribute <enable>"));
  EXPECT_FALSE(m_Monitoring.m_UsageRefreshHandler.AnyEnabled());
}

TEST_F(MonitoringSettingsTest, PriorityNamesAndRefreshPeriod) {
  LogStatementSettings statement;
  statement.Load(Element("<log-usage priority=\"warning\"/>"));
  EXPECT_EQ(APT_PRIO_WARNING, statement.m_Priority);
  statement.Load(Element("<log-usage priority=\"loud\"/>"));
  EXPECT_EQ(APT_PRIO_DEBUG, statement.m_Priority);
  LoadMonitoring("<monitoring-agent refresh-period=\"15s\"/>");
  EXPECT_EQ(15, m_Monitoring.m_RefreshPeriod);
  LoadMonitoring("<monitoring-agent refresh-period=\"abc\"/>");
  EXPECT_EQ(0, m_Monitoring.m_RefreshPeriod);
}

// "Unknown Element" alone goes to the host's default source.
TEST_F(MonitoringSettingsTest, UnknownNamesAreToldAndSkipped) {
  LoadMonitoring(
      "<monitoring-agent period=\"1\"><usage-handler/><usage-change-handler>"
      "<log-usage colour=\"red\" enable=\"true\"/><other/>"
      "<update-usage file=\"x\"/></usage-change-handler></monitoring-agent>");
  EXPECT_EQ(60000, m_Monitoring.m_RefreshPeriod);
  EXPECT_TRUE(m_Monitoring.m_UsageChangeHandler.m_LogStatement.m_Enable);
  const std::string host = apt_def_log_source_get()->name;
  ASSERT_NE("VXS-TEST", host);
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Element <usage-handler> in <monitoring-agent>", host));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Element <other> in <usage-change-handler>", host));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Monitoring Attribute <period>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Log Statement Attribute <colour>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Status File Attribute <file>"));
  EXPECT_EQ(5u, Warnings());
}

}  // namespace
}  // namespace VXS
