// Synthesis-detail records end to end: one JSON file per SPEAK in the
// record folder, what it says about a completed and a stopped SPEAK, that
// it stays valid JSON whatever the request carried, its name with the
// logging tag, and the count limit of the folder.
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

constexpr size_t kFrame8k = 320;  // bytes of a 20 ms frame at 8 kHz

std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class RecordsTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  void Start(const std::string& manager_attributes = "", vxhost::HostKit::Options options = {}) {
    WriteConfig("", "  <sdr-manager save-records=\"true\" record-folder=\"records\" " +
                        manager_attributes + "/>\n");
    StartEngine(true, options);
    m_Channel = OpenChannel("ch1");
  }

  fs::path Folder() const { return m_Root / "var" / "records"; }

  // The record's fields, parsed as JSON; fails the test when the file is
  // not a JSON object holding the one record object.
  std::map<std::string, std::string> ReadRecord(const std::string& name) {
    std::map<std::string, std::string> fields;
    std::string text = ReadFile(Folder() / name);
    google::protobuf::Struct document;
    auto status = google::protobuf::util::JsonStringToMessage(text, &document);
    EXPECT_TRUE(status.ok()) << status.ToString() << "\n" << text;
    auto record = document.fields().find("synth-details-record");
    if (record == document.fields().end() || !record->second.has_struct_value()) {
      ADD_FAILURE() << "no record object in\n" << text;
      return fields;
    }
    EXPECT_EQ(document.fields().size(), 1u) << text;
    for (const auto& field : record->second.struct_value().fields()) {
      EXPECT_TRUE(field.second.has_string_value()) << field.first;
      fields[field.first] = field.second.string_value();
    }
    return fields;
  }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(RecordsTest, CompletedSpeakIsRecordedWithItsBytesRateAndTimes) {
  Start();
  const std::string text(100, 'r');  // 100 frames: 32000 bytes at 8 kHz
  SpeakToCompletion(m_Channel, text);
  ASSERT_EQ(m_Channel->AudioBytes(), 32000u);
  ASSERT_EQ(FileNames(Folder()), std::vector<std::string>{"vexora-ch1-1.json"});

  auto fields = ReadRecord("vexora-ch1-1.json");
  EXPECT_EQ(fields.size(), 10u);
  EXPECT_EQ(fields["data-length"], "32000 bytes");
  EXPECT_EQ(fields["sampling-rate"], "8000 Hz");
  EXPECT_EQ(fields["codec"], "LPCM");
  EXPECT_EQ(fields["language"], "en-US");
  EXPECT_EQ(fields["voice-name"], kTestVoice);
  EXPECT_EQ(fields["voice-gender"], "");
  EXPECT_EQ(fields["completion-cause"], "normal");
  EXPECT_TRUE(std::regex_match(fields["datetime"],
                               std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
      << fields["datetime"];
  std::smatch streaming;
  std::smatch completion;
  ASSERT_TRUE(std::regex_match(fields["start-of-streaming-ts"], streaming,
                               std::regex("([0-9]+) ms")));
  ASSERT_TRUE(std::regex_match(fields["completion-ts"], completion, std::regex("([0-9]+) ms")));
  EXPECT_LE(std::stoul(streaming[1]), std::stoul(completion[1]));

  // The line layout operators grep for.
  std::string text_of_record = ReadFile(Folder() / "vexora-ch1-1.json");
  EXPECT_EQ(text_of_record.rfind("{\"synth-details-record\": {\n", 0), 0u);
  EXPECT_NE(text_of_record.find("\n   \"sampling-rate\": \"8000 Hz\",\n"), std::string::npos);
  EXPECT_NE(text_of_record.find("\n   \"completion-cause\": \"normal\"\n}}\n"), std::string::npos);
}

TEST_F(RecordsTest, StoppedSpeakIsRecordedAsCancelled) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  Start("", options);
  Send(m_Channel, SpeakText(std::string(100, 's'), "text/plain"));  // two seconds
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(5 * kFrame8k, 5s));
  Send(m_Channel, RequestText("STOP"));
  EXPECT_EQ(Next(m_Channel).status_code, 200);
  // The SPEAK ends with the answer to the STOP; its record is there by then.
  ASSERT_TRUE(fs::exists(Folder() / "vexora-ch1-1.json")) << "no record of the stopped SPEAK";
  auto fields = ReadRecord("vexora-ch1-1.json");
  EXPECT_EQ(fields["completion-cause"], "cancelled");
  EXPECT_EQ(fields["sampling-rate"], "8000 Hz");
  ASSERT_TRUE(std::regex_match(fields["completion-ts"], std::regex("[0-9]+ ms")))
      << fields["completion-ts"];
  EXPECT_LT(std::stoul(fields["completion-ts"]), 2000u);

  // The next SPEAK has a record of its own with a normal cause.
  SpeakToCompletion(m_Channel, "after");
  EXPECT_EQ(ReadRecord("vexora-ch1-3.json")["completion-cause"], "normal");
  EXPECT_EQ(ReadRecord("vexora-ch1-1.json")["completion-cause"], "cancelled");
}

// The STOP is answered once the cancelled call in flight is back (before or
// after the media thread saw the STOP); the record is written once.
TEST_F(RecordsTest, SpeakStoppedWhileALaterSegmentIsInSynthesisIsRecordedAsCancelled) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  WriteConfig("bypass-ssml=\"false\"",
              "  <sdr-manager save-records=\"true\" record-folder=\"records\"/>\n");
  StartEngine(true, options);
  m_Channel = OpenChannel("ch1");
  std::string ssml =
      "<speak version=\"1.0\"><voice name=\"vx-test-tone\">aa</voice>"
      "<voice name=\"vx-test-tone\">second segment</voice></speak>";
  // Every call is slow, so the second is still in flight when the STOP
  // comes, whenever the first one's audio has started.
  m_Server->faults().SetDelay(500ms);
  Send(m_Channel, SpeakText(ssml, "application/ssml+xml"));
  EXPECT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Log->WaitForCount("Start Async Synth", 2, 2s));
  Send(m_Channel, RequestText("STOP"));
  EXPECT_EQ(Next(m_Channel, 5s).status_code, 200);
  ASSERT_TRUE(fs::exists(Folder() / "vexora-ch1-1.json"));
  EXPECT_EQ(ReadRecord("vexora-ch1-1.json")["completion-cause"], "cancelled");
  EXPECT_EQ(m_Log->Count("Save SDR"), 1u);
  // The store logs through the framework's logger thread.
  EXPECT_TRUE(m_Log->WaitFor("SDRM total file entries [1]", 2s));
}

TEST_F(RecordsTest, QuotesAndBackslashesOfTheRequestKeepTheRecordValidJson) {
  Start();
  const std::string language = "en-\"US\\x";
  SpeakToCompletion(m_Channel, "quoted", "text/plain", {"Speech-Language: " + language});
  ASSERT_EQ(m_Server->calls().Requests().at(0).voice().language_code(), language);
  EXPECT_EQ(ReadRecord("vexora-ch1-1.json")["language"], language);
}

TEST_F(RecordsTest, LoggingTagNamesTheRecordAndCannotLeaveTheFolder) {
  Start("use-logging-tag=\"true\"");
  SpeakToCompletion(m_Channel, "tagged", "text/plain", {"Logging-Tag: abc"});
  SpeakToCompletion(m_Channel, "escaping", "text/plain", {"Logging-Tag: ../../x"});
  SpeakToCompletion(m_Channel, "untagged");
  EXPECT_EQ(FileNames(Folder()), (std::vector<std::string>{"vexora-ch1-1-abc.json",
                                                           "vexora-ch1-2-.._.._x.json",
                                                           "vexora-ch1-3.json"}));
  ReadRecord("vexora-ch1-2-.._.._x.json");
  // Nothing was written beside or above the record folder.
  EXPECT_EQ(FileNames(m_Root / "var"), (std::vector<std::string>{"records", "status"}));
  EXPECT_EQ(FileNames(m_Root), (std::vector<std::string>{"conf", "data", "log", "plugin", "var"}));
}

TEST_F(RecordsTest, LoggingTagStaysOutOfTheNameUnlessAskedFor) {
  Start();
  SpeakToCompletion(m_Channel, "tagged", "text/plain", {"Logging-Tag: abc"});
  EXPECT_EQ(FileNames(Folder()), std::vector<std::string>{"vexora-ch1-1.json"});
}

TEST_F(RecordsTest, FolderKeepsAtMostMaxFileCountRecords) {
  Start("max-file-count=\"2\"");
  for (const char* text : {"one", "two", "three"}) SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(FileNames(Folder()),
            (std::vector<std::string>{"vexora-ch1-2.json", "vexora-ch1-3.json"}));
  // The store logs through the framework's logger thread.
  EXPECT_TRUE(m_Log->WaitFor("Remove file vexora-ch1-1.json [max file count]", 2s));
}

// A client that reuses a request id on a channel of the same identifier
// writes its record under the name of an earlier one: the earlier record is
// replaced, not counted twice, so that evicting it later never deletes the
// newer record in its file.
TEST_F(RecordsTest, RecordOfAReusedRequestIdReplacesTheEarlierOne) {
  Start("max-file-count=\"2\"");
  auto speak_as = [&](mrcp_request_id id, const std::string& text) {
    std::string speak = SpeakText(text, "text/plain");
    speak.replace(speak.find(" SPEAK 0"), 8, " SPEAK " + std::to_string(id));
    EXPECT_EQ(Send(m_Channel, speak), id);
    EXPECT_EQ(Next(m_Channel).status_code, 200);
    EXPECT_EQ(Next(m_Channel, 30s).method_name, "SPEAK-COMPLETE");
  };
  speak_as(7, "one");
  speak_as(7, "second");
  EXPECT_TRUE(m_Log->WaitFor("Removed file vexora-ch1-7.json [replaced]", 2s));
  speak_as(8, "third");
  EXPECT_EQ(FileNames(Folder()),
            (std::vector<std::string>{"vexora-ch1-7.json", "vexora-ch1-8.json"}));
  // The record of the name is the second SPEAK's: six frames of audio.
  EXPECT_EQ(ReadRecord("vexora-ch1-7.json")["data-length"], std::to_string(6 * kFrame8k) + " bytes");
  EXPECT_TRUE(m_Log->WaitFor("SDRM total file entries [2]", 2s));
  EXPECT_EQ(m_Log->Count("SDRM total file entries [3]"), 0u);
}

TEST_F(RecordsTest, NoRecordIsWrittenWithoutSaveRecords) {
  WriteConfig("", "  <sdr-manager record-folder=\"records\"/>\n");
  StartEngine();
  m_Channel = OpenChannel("ch1");
  SpeakToCompletion(m_Channel, "unrecorded");
  EXPECT_TRUE(FileNames(Folder()).empty());
  EXPECT_EQ(m_Log->Count("Save SDR"), 0u);
}

// A STOP and, before its answer, the next SPEAK: the stopped SPEAK's record
// and the new SPEAK's own record are both written, each once.
TEST_F(RecordsTest, StopFollowedAtOnceBySpeakKeepsBothRecords) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  Start("", options);
  Send(m_Channel, SpeakText(std::string(100, 's'), "text/plain"));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(3 * kFrame8k, 5s));
  mrcp_request_id stop = Send(m_Channel, RequestText("STOP"));
  mrcp_request_id speak = Send(m_Channel, SpeakText("next one", "text/plain"));
  // Whatever the order of the answers, the STOP is answered 200 and the
  // new SPEAK runs to its end.
  bool stopped = false;
  bool completed = false;
  for (int i = 0; i < 3 && !(stopped && completed); ++i) {
    vxhost::ReceivedMessage message = Next(m_Channel, 10s);
    if (message.request_id == stop) {
      EXPECT_EQ(message.status_code, 200);
      stopped = true;
    } else if (message.method_name == "SPEAK-COMPLETE") {
      EXPECT_EQ(message.request_id, speak);
      completed = true;
    }
  }
  ASSERT_TRUE(stopped && completed);
  EXPECT_EQ(FileNames(Folder()),
            (std::vector<std::string>{"vexora-ch1-1.json", "vexora-ch1-3.json"}));
  auto first = ReadRecord("vexora-ch1-1.json");
  EXPECT_EQ(first["completion-cause"], "cancelled");
  EXPECT_NE(first["data-length"], "0 bytes");
  auto second = ReadRecord("vexora-ch1-3.json");
  EXPECT_EQ(second["completion-cause"], "normal");
  EXPECT_EQ(second["data-length"], std::to_string(8 * kFrame8k) + " bytes");
  EXPECT_EQ(m_Log->Count("Save SDR"), 2u);
}

// Refusals of a second SPEAK, whatever their status, leave the SPEAK that
// plays and its record as they were.
TEST_F(RecordsTest, RefusedSpeakDuringPlaybackKeepsThePlayingSpeaksRecord) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  Start("", options);
  const std::string text(20, 'r');
  mrcp_request_id speak =
      Send(m_Channel, SpeakText(text, "text/plain", {"Speech-Language: de-DE"}));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  const std::vector<std::pair<std::string, int>> refused = {
      {SpeakText("", "text/plain"), 406},            // no body
      {SpeakText("x", "text/unknown"), 409},         // unsupported type
      {SpeakText("<speak", "text/uri-list"), 406}};  // nothing to speak
  for (const auto& request : refused) {
    Send(m_Channel, request.first);
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.status_code, request.second) << response.text;
  }
  vxhost::ReceivedMessage complete = Next(m_Channel, 10s);
  EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE");
  EXPECT_EQ(complete.request_id, speak);
  EXPECT_EQ(m_Channel->AudioBytes(), text.size() * kFrame8k);
  auto fields = ReadRecord("vexora-ch1-1.json");
  EXPECT_EQ(fields["language"], "de-DE");
  EXPECT_EQ(fields["data-length"], std::to_string(text.size() * kFrame8k) + " bytes");
  EXPECT_EQ(fields["completion-cause"], "normal");
  EXPECT_EQ(FileNames(Folder()), std::vector<std::string>{"vexora-ch1-1.json"});
}

// A SPEAK replaced by the next one during its playback ends with a record
// of its own.
TEST_F(RecordsTest, ReplacedSpeakIsRecordedAsCancelled) {
  vxhost::HostKit::Options options;
  options.realtime = true;
  Start("", options);
  Send(m_Channel, SpeakText(std::string(100, 'a'), "text/plain"));
  ASSERT_EQ(Next(m_Channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
  ASSERT_TRUE(m_Channel->WaitAudioBytes(3 * kFrame8k, 5s));
  SpeakToCompletion(m_Channel, "replacement");
  EXPECT_EQ(ReadRecord("vexora-ch1-1.json")["completion-cause"], "cancelled");
  EXPECT_EQ(ReadRecord("vexora-ch1-2.json")["completion-cause"], "normal");
}

}  // namespace
}  // namespace vxtest
