// Prosody conversions and comparison, quote removal, the synthesizer
// settings loader and the monitoring loaders.
#include "Settings.h"

#include <apr_general.h>
#include <apr_pools.h>
#include <apr_xml.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "Plugin.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

mrcp_prosody_rate_t RateLabel(mrcp_prosody_rate_label_e label) {
  mrcp_prosody_rate_t rate;
  rate.type = PROSODY_RATE_TYPE_LABEL;
  rate.value.label = label;
  return rate;
}

mrcp_prosody_rate_t RateRelative(float relative) {
  mrcp_prosody_rate_t rate;
  rate.type = PROSODY_RATE_TYPE_RELATIVE_CHANGE;
  rate.value.relative = relative;
  return rate;
}

mrcp_prosody_volume_t VolumeLabel(mrcp_prosody_volume_label_e label) {
  mrcp_prosody_volume_t volume;
  volume.type = PROSODY_VOLUME_TYPE_LABEL;
  volume.value.label = label;
  return volume;
}

mrcp_prosody_volume_t VolumeNumeric(float numeric) {
  mrcp_prosody_volume_t volume;
  volume.type = PROSODY_VOLUME_TYPE_NUMERIC;
  volume.value.numeric = numeric;
  return volume;
}

// ------------------------------------------------------ prosody conversions

class ProsodyConversionTest : public ::testing::Test {
 protected:
  double Rate(const mrcp_prosody_rate_t& rate) {
    double out = -1.0;
    EXPECT_TRUE(GenerateProsodyRate(rate, out));
    return out;
  }
  double Volume(const mrcp_prosody_volume_t& volume) {
    double out = -1.0;
    EXPECT_TRUE(GenerateProsodyVolume(volume, out));
    return out;
  }
};

TEST_F(ProsodyConversionTest, RateLabels) {
  EXPECT_DOUBLE_EQ(0.25, Rate(RateLabel(PROSODY_RATE_XSLOW)));
  EXPECT_DOUBLE_EQ(0.5, Rate(RateLabel(PROSODY_RATE_SLOW)));
  EXPECT_DOUBLE_EQ(1.0, Rate(RateLabel(PROSODY_RATE_MEDIUM)));
  EXPECT_DOUBLE_EQ(2.0, Rate(RateLabel(PROSODY_RATE_FAST)));
  EXPECT_DOUBLE_EQ(1.0, Rate(RateLabel(PROSODY_RATE_DEFAULT)));
}

// The service refuses speaking rates above 2.0, so x-fast and fast relative
// rates are capped there instead of failing the request.
TEST_F(ProsodyConversionTest, RateIsCappedAtTheServiceMaximum) {
  EXPECT_DOUBLE_EQ(2.0, Rate(RateLabel(PROSODY_RATE_XFAST)));
  EXPECT_DOUBLE_EQ(2.0, Rate(RateRelative(200)));
  EXPECT_DOUBLE_EQ(2.0, Rate(RateRelative(250)));
  EXPECT_DOUBLE_EQ(2.0, Rate(RateRelative(800)));
  EXPECT_DOUBLE_EQ(2.0, Rate(RateRelative(std::numeric_limits<float>::infinity())));
}

TEST_F(ProsodyConversionTest, RelativeRateIsPercentClampedBelow) {
  EXPECT_DOUBLE_EQ(1.5, Rate(RateRelative(150)));
  EXPECT_DOUBLE_EQ(0.5, Rate(RateRelative(50)));
  EXPECT_DOUBLE_EQ(0.25, Rate(RateRelative(10)));
  EXPECT_DOUBLE_EQ(0.25, Rate(RateRelative(-100)));
  EXPECT_NEAR(1.999, Rate(RateRelative(199.9f)), 1e-4);
}

TEST_F(ProsodyConversionTest, UnconvertibleRateSetsNothing) {
  double out = 7.0;
  EXPECT_FALSE(GenerateProsodyRate(RateLabel(PROSODY_RATE_UNKNOWN), out));
  mrcp_prosody_rate_t unset = RateRelative(150);
  unset.type = PROSODY_RATE_TYPE_UNKNOWN;
  EXPECT_FALSE(GenerateProsodyRate(unset, out));
  EXPECT_FALSE(GenerateProsodyRate(RateRelative(std::nanf("")), out));
  EXPECT_EQ(7.0, out);
}

TEST_F(ProsodyConversionTest, VolumeLabels) {
  EXPECT_DOUBLE_EQ(-96.0, Volume(VolumeLabel(PROSODY_VOLUME_SILENT)));
  EXPECT_DOUBLE_EQ(-12.0, Volume(VolumeLabel(PROSODY_VOLUME_XSOFT)));
  EXPECT_DOUBLE_EQ(-6.0, Volume(VolumeLabel(PROSODY_VOLUME_SOFT)));
  EXPECT_DOUBLE_EQ(0.0, Volume(VolumeLabel(PROSODY_VOLUME_MEDIUM)));
  EXPECT_DOUBLE_EQ(6.0, Volume(VolumeLabel(PROSODY_VOLUME_LOUD)));
  EXPECT_DOUBLE_EQ(12.0, Volume(VolumeLabel(PROSODY_VOLUME_XLOUD)));
  EXPECT_DOUBLE_EQ(0.0, Volume(VolumeLabel(PROSODY_VOLUME_DEFAULT)));
}

TEST_F(ProsodyConversionTest, NumericVolumeIsClamped) {
  EXPECT_DOUBLE_EQ(-3.5, Volume(VolumeNumeric(-3.5f)));
  EXPECT_DOUBLE_EQ(16.0, Volume(VolumeNumeric(40)));
  EXPECT_DOUBLE_EQ(-96.0, Volume(VolumeNumeric(-200)));
}

TEST_F(ProsodyConversionTest, RelativeVolumeIsZeroWhateverTheNumber) {
  mrcp_prosody_volume_t volume;
  volume.type = PROSODY_VOLUME_TYPE_RELATIVE_CHANGE;
  volume.value.relative = 250;
  EXPECT_DOUBLE_EQ(0.0, Volume(volume));
}

TEST_F(ProsodyConversionTest, UnconvertibleVolumeSetsNothing) {
  double out = 7.0;
  EXPECT_FALSE(GenerateProsodyVolume(VolumeLabel(PROSODY_VOLUME_UNKNOWN), out));
  mrcp_prosody_volume_t unset = VolumeNumeric(3);
  unset.type = PROSODY_VOLUME_TYPE_UNKNOWN;
  EXPECT_FALSE(GenerateProsodyVolume(unset, out));
  EXPECT_FALSE(GenerateProsodyVolume(VolumeNumeric(std::nanf("")), out));
  EXPECT_EQ(7.0, out);
}

// --------------------------------------------------------- prosody compare

class ProsodyCompareTest : public ::testing::Test {
 protected:
  ProsodyParams m_Request;
  ProsodyParams m_Stored;
};

TEST_F(ProsodyCompareTest, FreshRecordsMatch) { EXPECT_TRUE(m_Request.Compare(m_Stored)); }

TEST_F(ProsodyCompareTest, LabelDoesNotMatchEquivalentRelativeRate) {
  m_Request.m_Rate = RateLabel(PROSODY_RATE_FAST);
  m_Stored.m_Rate = RateRelative(200);
  EXPECT_FALSE(m_Request.Compare(m_Stored));
}

TEST_F(ProsodyCompareTest, UnsetRateAndVolumeAcceptAnyStoredValues) {
  m_Request.m_Pitch = m_Stored.m_Pitch = "+2";
  m_Stored.m_Rate = RateLabel(PROSODY_RATE_SLOW);
  m_Stored.m_Volume = VolumeNumeric(6);
  EXPECT_TRUE(m_Request.Compare(m_Stored));
  // The other way round a set rate must be matched.
  EXPECT_FALSE(m_Stored.Compare(m_Request));
}

TEST_F(ProsodyCompareTest, RelativeRatesCompareBitForBit) {
  m_Request.m_Rate = RateRelative(125);
  m_Stored.m_Rate = RateRelative(125);
  EXPECT_TRUE(m_Request.Compare(m_Stored));
  m_Stored.m_Rate = RateRelative(125.0001f);
  EXPECT_FALSE(m_Request.Compare(m_Stored));
}

TEST_F(ProsodyCompareTest, ResetForgetsVolumeWhateverItsValueWord) {
  m_Request.m_Volume = VolumeLabel(PROSODY_VOLUME_LOUD);
  m_Stored.m_Volume = VolumeLabel(PROSODY_VOLUME_SOFT);
  EXPECT_FALSE(m_Request.Compare(m_Stored));
  m_Request.Reset();
  EXPECT_TRUE(m_Request.Compare(m_Stored));
}

TEST_F(ProsodyCompareTest, EveryStringMustMatchExactly) {
  std::string ProsodyParams::*fields[] = {&ProsodyParams::m_Pitch, &ProsodyParams::m_Contour,
                                          &ProsodyParams::m_Range, &ProsodyParams::m_Duration};
  for (auto field : fields) {
    ProsodyParams request;
    ProsodyParams stored;
    stored.*field = "x";
    EXPECT_FALSE(request.Compare(stored));
    request.*field = "X";
    EXPECT_FALSE(request.Compare(stored));
    request.*field = "x";
    EXPECT_TRUE(request.Compare(stored));
  }
}

// ------------------------------------------------------------ quote removal

class RemoveQuotesTest : public ::testing::Test {
 protected:
  std::string Strip(const std::string& text) {
    m_Buffer = text;
    m_Value.buf = &m_Buffer[0];
    m_Value.length = m_Buffer.size();
    RemoveQuotes(&m_Value);
    return std::string(m_Value.buf, m_Value.length);
  }
  std::string m_Buffer;
  apt_str_t m_Value;
};

TEST_F(RemoveQuotesTest, EnclosingPairIsStrippedAndTerminated) {
  EXPECT_EQ("en-US-Voice", Strip("\"en-US-Voice\""));
  EXPECT_EQ('\0', m_Value.buf[m_Value.length]);
  EXPECT_EQ("", Strip("\"\""));
  EXPECT_EQ("\"inner\"", Strip("\"\"inner\"\""));
}

TEST_F(RemoveQuotesTest, AnythingElseIsLeftAlone) {
  EXPECT_EQ("\"", Strip("\""));
  EXPECT_EQ("\"open", Strip("\"open"));
  EXPECT_EQ("close\"", Strip("close\""));
  EXPECT_EQ("plain", Strip("plain"));
  EXPECT_EQ("", Strip(""));
  apt_str_t empty;
  apt_string_reset(&empty);
  RemoveQuotes(&empty);
  EXPECT_EQ(nullptr, empty.buf);
  RemoveQuotes(nullptr);
}

// --------------------------------------------------------- XML loader base

// Parses configuration snippets into a pool owned by the test, and captures
// the log with the module's lines under a source name of their own.
class XmlLoaderTest : public ::testing::Test {
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

  // Lines of a source with exactly this priority and message.
  size_t Logged(const char* priority, const std::string& message,
                const char* source = "VXS-TEST") const {
    const std::string tail = std::string("[") + priority + "] [" + source + "] " + message;
    size_t count = 0;
    for (const std::string& line : m_Log.Lines()) {
      if (line.size() >= tail.size() &&
          line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        ++count;
    }
    return count;
  }
  size_t Warnings() const {
    size_t count = 0;
    for (const std::string& line : m_Log.Lines())
      if (line.find("[WARNING]") != std::string::npos) ++count;
    return count;
  }

  const apr_xml_elem* Element(const std::string& xml) {
    apr_xml_parser* parser = apr_xml_parser_create(m_Pool);
    apr_xml_doc* doc = nullptr;
    if (!parser || apr_xml_parser_feed(parser, xml.data(), xml.size()) != APR_SUCCESS ||
        apr_xml_parser_done(parser, &doc) != APR_SUCCESS || !doc) {
      ADD_FAILURE() << "bad test XML: " << xml;
      static apr_xml_elem empty;
      return &empty;
    }
    return doc->root;
  }

  apr_pool_t* m_Pool = nullptr;
  apt_log_source_t* m_SavedSource = nullptr;
  vxhost::LogCapture m_Log;
};

// ------------------------------------------------------- synthesizer settings

class SynthSettingsTest : public XmlLoaderTest {
 protected:
  void Load(const std::string& attributes) {
    EXPECT_TRUE(m_Settings.Load(Element("<synth-settings " + attributes + "/>")));
  }
  SynthSettings m_Settings;
};

TEST_F(SynthSettingsTest, DefaultsWithoutElement) {
  EXPECT_EQ("en-US", m_Settings.m_Language);
  EXPECT_TRUE(m_Settings.m_BypassSsml);
  EXPECT_TRUE(m_Settings.m_NormalizeSsml);
  EXPECT_TRUE(m_Settings.m_SecureTransport);
  EXPECT_FALSE(m_Settings.m_Caching);
  EXPECT_FALSE(m_Settings.m_Reattempt);
  EXPECT_FALSE(m_Settings.m_GrpcLogRedirection);
  EXPECT_EQ(0, m_Settings.m_Deadline);
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, m_Settings.m_VoiceGender);
  EXPECT_EQ(PROSODY_RATE_TYPE_UNKNOWN, m_Settings.m_Prosody.m_Rate.type);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_UNKNOWN, m_Settings.m_Prosody.m_Volume.type);
}

TEST_F(SynthSettingsTest, BooleansAreExactAndKeepValueOnMismatch) {
  Load("bypass-ssml=\"TRUE\" normalize-ssml=\"false\" secure-transport=\"no\" caching=\"true\" "
       "reattempt=\"True\"");
  EXPECT_TRUE(m_Settings.m_BypassSsml);
  EXPECT_FALSE(m_Settings.m_NormalizeSsml);
  EXPECT_TRUE(m_Settings.m_SecureTransport);
  EXPECT_TRUE(m_Settings.m_Caching);
  EXPECT_FALSE(m_Settings.m_Reattempt);
  EXPECT_EQ(1u, Logged("DEBUG", "Load Synth Attribute: bypass-ssml = TRUE"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <TRUE> for Boolean Attribute <bypass-ssml>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <no> for Boolean Attribute <secure-transport>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <True> for Boolean Attribute <reattempt>"));
  EXPECT_EQ(3u, Warnings());
  Load("bypass-ssml=\"false\" caching=\"\"");
  EXPECT_FALSE(m_Settings.m_BypassSsml);
  EXPECT_TRUE(m_Settings.m_Caching);
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <> for Boolean Attribute <caching>"));
}

TEST_F(SynthSettingsTest, GrpcLogRedirectionIgnoresCase) {
  Load("grpc-log-redirection=\"TRUE\"");
  EXPECT_TRUE(m_Settings.m_GrpcLogRedirection);
  EXPECT_EQ(0u, Warnings());
  Load("grpc-log-redirection=\"yes\"");
  EXPECT_TRUE(m_Settings.m_GrpcLogRedirection);
  EXPECT_EQ(1u,
            Logged("WARNING", "Unexpected Value <yes> for Boolean Attribute <grpc-log-redirection>"));
  Load("grpc-log-redirection=\"False\"");
  EXPECT_FALSE(m_Settings.m_GrpcLogRedirection);
}

TEST_F(SynthSettingsTest, AttributeNamesIgnoreCaseAndLaterOnesWin) {
  Load("Voice-Name=\"en-US-Standard-C\" LANGUAGE=\"de-DE\" language=\"fr-FR\" "
       "Service-URI=\"tts.example.invalid:443\" REGION=\"eu\"");
  EXPECT_EQ("en-US-Standard-C", m_Settings.m_VoiceName);
  EXPECT_EQ("fr-FR", m_Settings.m_Language);
  EXPECT_EQ("tts.example.invalid:443", m_Settings.m_ServiceUri);
  EXPECT_EQ("eu", m_Settings.m_Region);
}

TEST_F(SynthSettingsTest, StringAttributesAcceptEmptyValues) {
  Load("language=\"\" voice-name=\"\" http-proxy=\"\"");
  EXPECT_EQ("", m_Settings.m_Language);
  EXPECT_EQ("", m_Settings.m_VoiceName);
}

TEST_F(SynthSettingsTest, TextAttributesAreStored) {
  Load("http-proxy=\"http://proxy:3128\" gapp-credentials-file=\"key.json\" "
       "grpc-log-verbosity=\"DEBUG\" grpc-log-trace=\"api,channel\" effects-profile=\"phone\" "
       "custom-voice-model=\"m1\"");
  EXPECT_EQ("http://proxy:3128", m_Settings.m_HttpProxy);
  EXPECT_EQ("key.json", m_Settings.m_CredentialsFile);
  EXPECT_EQ("DEBUG", m_Settings.m_GrpcLogVerbosity);
  EXPECT_EQ("api,channel", m_Settings.m_GrpcLogTrace);
  EXPECT_EQ("phone", m_Settings.m_EffectsProfile);
  EXPECT_EQ("m1", m_Settings.m_CustomVoiceModel);
}

TEST_F(SynthSettingsTest, ProsodyRateIsStoredAsPercent) {
  Load("prosody-rate=\"1.25\"");
  EXPECT_EQ(PROSODY_RATE_TYPE_RELATIVE_CHANGE, m_Settings.m_Prosody.m_Rate.type);
  EXPECT_EQ(125.0f, m_Settings.m_Prosody.m_Rate.value.relative);
  Load("prosody-rate=\"fast\"");
  EXPECT_EQ(0.0f, m_Settings.m_Prosody.m_Rate.value.relative);
}

TEST_F(SynthSettingsTest, EmptyProsodyValuesAreIgnored) {
  Load("prosody-rate=\"\" prosody-volume=\"\" prosody-pitch=\"\"");
  EXPECT_EQ(PROSODY_RATE_TYPE_UNKNOWN, m_Settings.m_Prosody.m_Rate.type);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_UNKNOWN, m_Settings.m_Prosody.m_Volume.type);
  Load("prosody-pitch=\"+2.5\" prosody-volume=\"-3.5\"");
  Load("prosody-pitch=\"\" prosody-volume=\"\"");
  EXPECT_EQ("+2.5", m_Settings.m_Prosody.m_Pitch);
  EXPECT_EQ(PROSODY_VOLUME_TYPE_NUMERIC, m_Settings.m_Prosody.m_Volume.type);
  EXPECT_EQ(-3.5f, m_Settings.m_Prosody.m_Volume.value.numeric);
}

TEST_F(SynthSettingsTest, VoiceGenderRules) {
  Load("voice-gender=\"female\"");
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Settings.m_VoiceGender);
  Load("voice-gender=\"Male\"");
  EXPECT_EQ(VOICE_GENDER_FEMALE, m_Settings.m_VoiceGender);
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <Male> for Attribute <voice-gender>"));
  Load("voice-gender=\"\"");
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, m_Settings.m_VoiceGender);
  Load("voice-gender=\"neutral\"");
  EXPECT_EQ(VOICE_GENDER_NEUTRAL, m_Settings.m_VoiceGender);
}

TEST_F(SynthSettingsTest, DeadlineIsDecimalMilliseconds) {
  Load("deadline=\"5000\"");
  EXPECT_EQ(5000, m_Settings.m_Deadline);
  Load("deadline=\"abc\"");
  EXPECT_EQ(0, m_Settings.m_Deadline);
  Load("deadline=\"250ms\"");
  EXPECT_EQ(250, m_Settings.m_Deadline);
  Load("deadline=\"-1\"");
  EXPECT_EQ(-1, m_Settings.m_Deadline);
}

// A deadline beyond 32 bits saturates instead of wrapping into another
// (possibly negative) value.
TEST_F(SynthSettingsTest, DeadlineBeyond32BitsSaturates) {
  Load("deadline=\"99999999999\"");
  EXPECT_EQ(INT32_MAX, m_Settings.m_Deadline);
  Load("deadline=\"-99999999999\"");
  EXPECT_EQ(INT32_MIN, m_Settings.m_Deadline);
}

TEST_F(SynthSettingsTest, UnknownAttributeIsSkipped) {
  Load("speed=\"3\" voice-name=\"after\"");
  EXPECT_EQ("after", m_Settings.m_VoiceName);
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Synth Attribute <speed>"));
  EXPECT_EQ(1u, Logged("DEBUG", "Load Synth Attribute: speed = 3"));
}

TEST(ValueParserTest, BooleanStringIsExact) {
  bool value = true;
  EXPECT_TRUE(ParseBooleanString("false", value));
  EXPECT_FALSE(value);
  EXPECT_TRUE(ParseBooleanString("true", value));
  EXPECT_TRUE(value);
  for (const char* bad : {"TRUE", "False", "yes", "1", "", " true", "true "}) {
    value = false;
    EXPECT_FALSE(ParseBooleanString(bad, value)) << bad;
    EXPECT_FALSE(value) << bad;
  }
}

TEST(ValueParserTest, VoiceGenderIsExact) {
  mrcp_voice_gender_e gender = VOICE_GENDER_NEUTRAL;
  EXPECT_TRUE(SynthSettings::ParseVoiceGender("male", gender));
  EXPECT_EQ(VOICE_GENDER_MALE, gender);
  EXPECT_TRUE(SynthSettings::ParseVoiceGender("", gender));
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, gender);
  EXPECT_FALSE(SynthSettings::ParseVoiceGender("Female", gender));
  EXPECT_FALSE(SynthSettings::ParseVoiceGender("unknown", gender));
  EXPECT_EQ(VOICE_GENDER_UNKNOWN, gender);
}

// -------------------------------------------------------------- monitoring

class MonitoringSettingsTest : public XmlLoaderTest {
 protected:
  void Load(const std::string& xml) { EXPECT_TRUE(m_Settings.Load(Element(xml))); }
  MonitoringSettings m_Settings;
};

TEST_F(MonitoringSettingsTest, DefaultsAreAllOff) {
  EXPECT_EQ(60000, m_Settings.m_RefreshPeriod);
  EXPECT_FALSE(m_Settings.m_UsageChangeHandler.AnyEnabled());
  EXPECT_FALSE(m_Settings.m_UsageRefreshHandler.AnyEnabled());
  EXPECT_EQ(APT_PRIO_NOTICE, m_Settings.m_UsageChangeHandler.m_LogStatement.m_Priority);
  EXPECT_EQ("", m_Settings.m_UsageRefreshHandler.m_ChannelsFile.m_StatusFile);
}

TEST_F(MonitoringSettingsTest, FullElementIsLoaded) {
  Load("<monitoring-agent refresh-period=\"30\">"
       "<usage-change-handler>"
       "<log-usage enable=\"true\" priority=\"INFO\"/>"
       "<update-usage enable=\"true\" status-file=\"usage.txt\"/>"
       "</usage-change-handler>"
       "<Usage-Refresh-Handler>"
       "<DUMP-CHANNELS Enable=\"true\" Status-File=\"/var/status/channels.txt\"/>"
       "</Usage-Refresh-Handler>"
       "</monitoring-agent>");
  EXPECT_EQ(30, m_Settings.m_RefreshPeriod);
  EXPECT_EQ(1u, Logged("DEBUG", "Load Monitoring Attribute: refresh-period = 30"));
  EXPECT_EQ(0u, Warnings());
  const MonitoringHandler& change = m_Settings.m_UsageChangeHandler;
  EXPECT_TRUE(change.m_LogStatement.m_Enable);
  EXPECT_EQ(APT_PRIO_INFO, change.m_LogStatement.m_Priority);
  EXPECT_TRUE(change.m_UsageFile.m_Enable);
  EXPECT_EQ("usage.txt", change.m_UsageFile.m_StatusFile);
  EXPECT_FALSE(change.m_ChannelsFile.m_Enable);
  const MonitoringHandler& refresh = m_Settings.m_UsageRefreshHandler;
  EXPECT_TRUE(refresh.AnyEnabled());
  EXPECT_FALSE(refresh.m_LogStatement.m_Enable);
  EXPECT_TRUE(refresh.m_ChannelsFile.m_Enable);
  EXPECT_EQ("/var/status/channels.txt", refresh.m_ChannelsFile.m_StatusFile);
}

TEST_F(MonitoringSettingsTest, OnlyChangeHandlerLeavesRefreshHandlerOff) {
  Load("<monitoring-agent><usage-change-handler><dump-channels enable=\"true\"/>"
       "</usage-change-handler></monitoring-agent>");
  EXPECT_TRUE(m_Settings.m_UsageChangeHandler.AnyEnabled());
  EXPECT_FALSE(m_Settings.m_UsageRefreshHandler.AnyEnabled());
}

TEST_F(MonitoringSettingsTest, EnableWithWordYesStaysOff) {
  Load("<monitoring-agent><usage-change-handler>"
       "<log-usage enable=\"yes\"/><update-usage enable=\"True\"/>"
       "</usage-change-handler></monitoring-agent>");
  EXPECT_FALSE(m_Settings.m_UsageChangeHandler.m_LogStatement.m_Enable);
  EXPECT_FALSE(m_Settings.m_UsageChangeHandler.m_UsageFile.m_Enable);
  EXPECT_FALSE(m_Settings.m_UsageChangeHandler.AnyEnabled());
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <yes> for Boolean Attribute <enable>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unexpected Value <True> for Boolean Attribute <enable>"));
  EXPECT_EQ(1u, Logged("DEBUG", "Load Log Statement Attribute: enable = yes"));
  EXPECT_EQ(1u, Logged("DEBUG", "Load Status File Attribute: enable = True"));
}

TEST_F(MonitoringSettingsTest, PriorityNamesAreTranslatedByTheHost) {
  LogStatementSettings statement;
  statement.Load(Element("<log-usage priority=\"WARNING\"/>"));
  EXPECT_EQ(APT_PRIO_WARNING, statement.m_Priority);
  statement.Load(Element("<log-usage priority=\"emergency\"/>"));
  EXPECT_EQ(APT_PRIO_EMERGENCY, statement.m_Priority);
  statement.Load(Element("<log-usage priority=\"loud\"/>"));
  EXPECT_EQ(APT_PRIO_DEBUG, statement.m_Priority);
}

TEST_F(MonitoringSettingsTest, RefreshPeriodIsDecimal) {
  Load("<monitoring-agent refresh-period=\"15s\"/>");
  EXPECT_EQ(15, m_Settings.m_RefreshPeriod);
  Load("<monitoring-agent refresh-period=\"abc\"/>");
  EXPECT_EQ(0, m_Settings.m_RefreshPeriod);
  Load("<monitoring-agent refresh-period=\"-5\"/>");
  EXPECT_EQ(-5, m_Settings.m_RefreshPeriod);
}

TEST_F(MonitoringSettingsTest, UnknownNamesAreSkipped) {
  Load("<monitoring-agent period=\"1\"><usage-handler/>"
       "<usage-change-handler><log-usage colour=\"red\" enable=\"true\"/><other/>"
       "<update-usage file=\"x\" status-file=\"u.txt\"/></usage-change-handler>"
       "</monitoring-agent>");
  EXPECT_EQ(60000, m_Settings.m_RefreshPeriod);
  EXPECT_TRUE(m_Settings.m_UsageChangeHandler.m_LogStatement.m_Enable);
  EXPECT_EQ("u.txt", m_Settings.m_UsageChangeHandler.m_UsageFile.m_StatusFile);
  EXPECT_FALSE(m_Settings.m_UsageChangeHandler.m_UsageFile.m_Enable);
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Monitoring Attribute <period>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Log Statement Attribute <colour>"));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Status File Attribute <file>"));
  EXPECT_EQ(5u, Warnings());
}

// This one line goes to the host's default source, not the module's.
TEST_F(MonitoringSettingsTest, UnknownElementIsToldOnTheHostSource) {
  Load("<monitoring-agent><usage-handler/><usage-change-handler><other/>"
       "</usage-change-handler></monitoring-agent>");
  const char* host = apt_def_log_source_get()->name;
  ASSERT_STRNE("VXS-TEST", host);
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Element <usage-handler> in <monitoring-agent>", host));
  EXPECT_EQ(1u, Logged("WARNING", "Unknown Element <other> in <usage-change-handler>", host));
  EXPECT_EQ(2u, Warnings());
}

}  // namespace
}  // namespace VXS
