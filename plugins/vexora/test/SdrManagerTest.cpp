// The synthesis-detail records: settings, file names, the record file and
// the records' life in the framework's store.
#include "SdrManager.h"

#include <apr_pools.h>
#include <apr_xml.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

using Details = SdrManager::SynthesisDetails;

const apr_time_t kStart = 1700000000LL * 1000000;

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

class SdrManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&m_Pool, nullptr));
    m_Settings.m_RecordFolder = m_Dir.Path();
    m_Settings.m_FilePrefix = "vexora-";
    m_Settings.m_SaveRecords = true;
    m_Settings.m_MaxFileAge = 0;
  }
  void TearDown() override { apr_pool_destroy(m_Pool); }

  // A record of a request served normally at 8000 Hz.
  static Details ServedRequest() {
    Details details;
    details.m_Version = MRCP_VERSION_2;
    details.m_SamplingRate = 8000;
    details.m_Codec = "LPCM";
    details.m_Params.m_Language = "en-US";
    details.m_Params.m_VoiceName = "voice-a";
    details.m_Params.m_VoiceGender = VOICE_GENDER_FEMALE;
    details.m_StartTime = kStart;
    details.m_StreamingTime = kStart + 1500999;
    details.m_CompletionTime = kStart + 4000000;
    details.m_DataLength = 32000;
    details.m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_NORMAL;
    return details;
  }

  // Saves the record and returns its lines; the JSON object goes to fields.
  std::vector<std::string> Save(const Details& details, google::protobuf::Struct& fields) {
    const std::string path = m_Dir / "record.json";
    EXPECT_TRUE(details.Save(path));
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    google::protobuf::Struct document;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(text.str(), &document).ok())
        << text.str();
    fields = document.fields().at("synth-details-record").struct_value();
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  const apr_xml_elem* Parse(const std::string& xml) {
    apr_xml_parser* parser = apr_xml_parser_create(m_Pool);
    apr_xml_doc* doc = nullptr;
    if (apr_xml_parser_feed(parser, xml.data(), xml.size()) != APR_SUCCESS ||
        apr_xml_parser_done(parser, &doc) != APR_SUCCESS) {
      return nullptr;
    }
    return doc->root;
  }
  static std::string Value(const google::protobuf::Struct& fields, const std::string& key) {
    return fields.fields().at(key).string_value();
  }

  Ambrel::Testing::AprScope m_Apr;
  Ambrel::Testing::ScratchDir m_Dir;
  apr_pool_t* m_Pool = nullptr;
  SdrManager::Settings m_Settings;
};

TEST_F(SdrManagerTest, RecordIsTwelveLinesOfJson) {
  google::protobuf::Struct fields;
  const std::vector<std::string> lines = Save(ServedRequest(), fields);
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ("{\"synth-details-record\": {", lines[0]);
  EXPECT_EQ("   \"sampling-rate\": \"8000 Hz\",", lines[5]);
  EXPECT_EQ("   \"data-length\": \"32000 bytes\",", lines[7]);
  EXPECT_EQ("   \"completion-cause\": \"normal\"", lines[10]);
  EXPECT_EQ("}}", lines[11]);
  const char* keys[] = {"datetime",      "language",        "voice-name",  "voice-gender",
                        "sampling-rate", "codec",           "data-length", "start-of-streaming-ts",
                        "completion-ts", "completion-cause"};
  ASSERT_EQ(10, fields.fields_size());
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(0u, lines[i + 1].find(std::string("   \"") + keys[i] + "\": ")) << lines[i + 1];
  }
  std::string datetime;
  Details::GetTimestampStr(kStart, datetime);
  EXPECT_EQ(19u, datetime.size());
  EXPECT_EQ(datetime, Value(fields, "datetime"));
  EXPECT_EQ("female", Value(fields, "voice-gender"));
  EXPECT_EQ("LPCM", Value(fields, "codec"));
  EXPECT_EQ("1500 ms", Value(fields, "start-of-streaming-ts"));
  EXPECT_EQ("4000 ms", Value(fields, "completion-ts"));
}

TEST_F(SdrManagerTest, CauseNeverSetReportsNormal) {
  Details details = ServedRequest();
  details.m_CompletionCause = SYNTHESIZER_COMPLETION_CAUSE_UNKNOWN;
  google::protobuf::Struct fields;
  Save(details, fields);
  EXPECT_EQ("normal", Value(fields, "completion-cause"));
}

TEST_F(SdrManagerTest, TextValuesAreEscaped) {
  Details details = ServedRequest();
  details.m_Params.m_VoiceName = "say \"hi\" \\ now\n\t\x01";
  details.m_Params.m_Language = "caf\xC3\xA9 \xFF";
  google::protobuf::Struct fields;
  Save(details, fields);
  EXPECT_EQ(details.m_Params.m_VoiceName, Value(fields, "voice-name"));
  // Bytes that are not UTF-8 become U+FFFD.
  EXPECT_EQ("caf\xC3\xA9 \xEF\xBF\xBD", Value(fields, "language"));
}

TEST_F(SdrManagerTest, TimesNeverTakenAreEmpty) {
  Details details = ServedRequest();
  details.m_StreamingTime = 0;
  details.m_CompletionTime = 0;
  google::protobuf::Struct fields;
  Save(details, fields);
  EXPECT_EQ("", Value(fields, "start-of-streaming-ts"));
  EXPECT_EQ("", Value(fields, "completion-ts"));
  std::string text = "kept";
  EXPECT_TRUE(Details::GetTimestampStr(0, text));
  EXPECT_EQ("kept", text);
}

TEST_F(SdrManagerTest, SaveFailsWhenTheFileCannotBeOpened) {
  vxhost::LogCapture log;
  EXPECT_FALSE(ServedRequest().Save(m_Dir / "missing/record.json"));
  EXPECT_FALSE(ServedRequest().Save(""));
  EXPECT_EQ(1u, log.Count("Failed to Open SDR File " + (m_Dir / "missing/record.json")));
}

TEST_F(SdrManagerTest, NamesCarryTheSanitisedTagOnlyWhenAsked) {
  std::string name;
  ASSERT_TRUE(SdrManager(m_Settings).ComposeName(name, "abc", 7, "call-1", m_Pool));
  EXPECT_EQ("vexora-abc-7.json", name);
  m_Settings.m_UseLoggingTag = true;
  SdrManager manager(m_Settings);
  ASSERT_TRUE(manager.ComposeName(name, "abc", 7, "call-1", m_Pool));
  EXPECT_EQ("vexora-abc-7-call-1.json", name);
  ASSERT_TRUE(manager.ComposeName(name, "abc", 7, "", m_Pool));
  EXPECT_EQ("vexora-abc-7.json", name);
  ASSERT_TRUE(manager.ComposeName(name, "abc", 7, "../x", m_Pool));
  EXPECT_EQ("vexora-abc-7-.._x.json", name);
  std::string path;
  ASSERT_TRUE(manager.ComposePath(path, name, m_Pool));
  EXPECT_EQ(m_Dir / name, path);
}

TEST_F(SdrManagerTest, LogLevelNamesAreExact) {
  SdrManager::Settings settings;
  vxhost::LogCapture log;
  EXPECT_TRUE(settings.Load(
      Parse("<sdr-manager log-level='debug' save-records='on' max-file-count='5' colour='x'/>")));
  EXPECT_EQ(Ambrel::LOG_NOTICE, settings.m_LogLevel);
  EXPECT_FALSE(settings.m_SaveRecords);
  EXPECT_EQ(5, settings.m_MaxFileCount);
  EXPECT_EQ(1u, log.Count("Unexpected Value <on> for Boolean Attribute <save-records>"));
  EXPECT_EQ(1u, log.Count("Unknown SDR Manager Attribute <colour>"));

  settings.Load(Parse("<sdr-manager LOG-LEVEL='DEBUG'/>"));
  EXPECT_EQ(Ambrel::LOG_DEBUG, settings.m_LogLevel);
  SdrManager manager(settings);
  EXPECT_EQ("SDRM", manager.GetLogFacility().GetName());
  EXPECT_EQ(Ambrel::LOG_DEBUG, manager.GetLogFacility().GetLevel());
}

TEST_F(SdrManagerTest, RecordsLeaveByCountAndAge) {
  Ambrel::Testing::ManualClock clock;
  Ambrel::Testing::ManualEventProcessor processor(clock.AsClock());
  m_Settings.m_MaxFileCount = 2;
  m_Settings.m_MaxFileAge = 1;
  SdrManager manager(m_Settings);
  manager.SetTimerProcessor(&processor);
  ASSERT_TRUE(manager.LoadFileEntries());
  const char* names[] = {"vexora-abc-1.json", "vexora-abc-2.json", "vexora-abc-3.json"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ServedRequest().Save(m_Dir / names[i]));
    ASSERT_TRUE(manager.AddFileEntry(names[i], kStart + i));
    processor.RunPendingEvents();
  }
  EXPECT_FALSE(Exists(m_Dir / names[0]));
  EXPECT_TRUE(Exists(m_Dir / names[1]));
  EXPECT_EQ(2u, manager.GetEntryCount());

  clock.AdvanceMinutes(1);
  processor.AdvanceTimers();
  EXPECT_FALSE(Exists(m_Dir / names[1]));
  EXPECT_FALSE(Exists(m_Dir / names[2]));
  EXPECT_EQ(0u, manager.GetEntryCount());
  EXPECT_EQ(0u, manager.GetTimerCount());
}

}  // namespace
}  // namespace VXS
