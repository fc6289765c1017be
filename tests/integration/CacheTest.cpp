// The waveform cache end to end: a repeated prompt is played from disk
// without a call, records are told apart by rate, voice gender, content and
// cache directives, custom voice models bypass the cache, the records
// outlive the engine, and a damaged folder never stops a SPEAK.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grpcpp/security/server_credentials.h>
#include <grpcpp/server.h>
#include <grpcpp/server_builder.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "ModuleFixture.h"
#include "RiffWave.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace vxtest {
namespace {

namespace tts = google::cloud::texttospeech::v1;

// The audio the test voice gives for a text: 20 ms of tone per byte.
size_t ToneBytes(const std::string& text, size_t rate = 8000) { return text.size() * rate / 50 * 2; }


using VxTts::GetLe32;

// A cache descriptor read as its name/value pairs (a later pair wins).
// *well_formed tells whether the file is whole tokens in whole pairs.
std::map<std::string, std::string> ReadDescriptor(const fs::path& path, bool* well_formed = nullptr) {
  std::string bytes = ReadFile(path);
  std::vector<std::string> tokens;
  size_t pos = 0;
  bool whole = true;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) {
      whole = false;
      break;
    }
    uint32_t count = GetLe32(bytes, pos);
    pos += 4;
    if (count > bytes.size() - pos) {
      whole = false;
      break;
    }
    tokens.push_back(bytes.substr(pos, count));
    pos += count;
  }
  if (tokens.size() % 2 != 0) whole = false;
  std::map<std::string, std::string> pairs;
  for (size_t i = 0; i + 1 < tokens.size(); i += 2) pairs[tokens[i]] = tokens[i + 1];
  if (well_formed) *well_formed = whole;
  return pairs;
}

// The audio bytes of a WAVE file the module wrote (canonical 44-byte header).
std::string WaveData(const fs::path& path) {
  std::string bytes = ReadFile(path);
  if (bytes.size() < 44) return std::string();
  EXPECT_EQ(GetLe32(bytes, 40), bytes.size() - 44) << path;
  return bytes.substr(44);
}

std::vector<std::string> FilesEndingWith(const fs::path& folder, const std::string& extension) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (name.size() >= extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string AsString(const std::vector<char>& audio) { return std::string(audio.begin(), audio.end()); }

class CacheTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
  }

  // Caching on, the waveform folder "cache" under the variable-data
  // directory, one 8 kHz channel "ch1".
  void Start(const std::string& synth_attributes = "", const std::string& manager_attributes = "") {
    WriteConfig("caching=\"true\" " + synth_attributes,
                "  <waveform-manager waveform-folder=\"cache\" " + manager_attributes + "/>\n");
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  fs::path Folder() const { return m_Root / "var" / "cache"; }

  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(CacheTest, RepeatedPromptIsPlayedFromDiskAndItsUseCountPersisted) {
  Start();
  const std::string text = "cached prompt";
  SpeakToCompletion(m_Channel, text);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  const std::string synthesized = AsString(m_Channel->Audio());
  ASSERT_EQ(synthesized.size(), ToneBytes(text));

  // The WAVE file holds exactly the audio played; the descriptor records
  // what was synthesized, without a use count while it is 0.
  EXPECT_EQ(WaveData(Folder() / "vexora-ch1-1.wav"), synthesized);
  bool well_formed = false;
  auto descriptor = ReadDescriptor(Folder() / "vexora-ch1-1.cache", &well_formed);
  EXPECT_TRUE(well_formed);
  EXPECT_EQ(descriptor["checksum"], std::to_string(Checksum(text)));
  EXPECT_EQ(descriptor["content"], text);
  EXPECT_EQ(descriptor["language"], "en-US");
  EXPECT_EQ(descriptor["sampling-rate"], "8000");
  EXPECT_EQ(descriptor["voice-name"], kTestVoice);
  EXPECT_EQ(descriptor.count("use-count"), 0u);

  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav] use-count [0] <ch1@vxs>"),
            1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(AsString(m_Channel->Audio()), synthesized);
  descriptor = ReadDescriptor(Folder() / "vexora-ch1-1.cache", &well_formed);
  EXPECT_TRUE(well_formed);
  EXPECT_EQ(descriptor["use-count"], "1");
  // The descriptor is rewritten whole, not just its count.
  EXPECT_EQ(descriptor["content"], text);
  EXPECT_EQ(descriptor["checksum"], std::to_string(Checksum(text)));

  // The count goes on from the value kept with the record.
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav] use-count [1] <ch1@vxs>"),
            1u);
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-1.cache")["use-count"], "2");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(FilesEndingWith(Folder(), ".wav"), std::vector<std::string>{"vexora-ch1-1.wav"});
}

TEST_F(CacheTest, SameTextAtTwoRatesMakesTwoRecordsUnderOneChecksum) {
  WriteConfig("caching=\"true\"", "  <waveform-manager waveform-folder=\"cache\"/>\n");
  StartEngine();
  vxhost::Channel* narrow = OpenChannel("narrow", 8000);
  vxhost::Channel* wide = OpenChannel("wide", 16000);
  const std::string text = "two rates";
  SpeakToCompletion(narrow, text);
  SpeakToCompletion(wide, text);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);

  auto first = ReadDescriptor(Folder() / "vexora-narrow-1.cache");
  auto second = ReadDescriptor(Folder() / "vexora-wide-1.cache");
  EXPECT_EQ(first["checksum"], std::to_string(Checksum(text)));
  EXPECT_EQ(second["checksum"], first["checksum"]);
  EXPECT_EQ(first["sampling-rate"], "8000");
  EXPECT_EQ(second["sampling-rate"], "16000");

  // The lookup walks past the 8 kHz record to the one that fits.
  wide->ClearAudio();
  SpeakToCompletion(wide, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-wide-1.wav] use-count [0] <wide@vxs>"),
            1u);
  EXPECT_EQ(wide->AudioBytes(), ToneBytes(text, 16000));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

TEST_F(CacheTest, CacheControlDirectivesRejectRecordsThatAreTooOldOrTooShortLived) {
  Start();
  const std::string text = "directives";
  SpeakToCompletion(m_Channel, text);

  // max-age=0: a record made a moment ago is already too old.
  SpeakToCompletion(m_Channel, text, "text/plain", {"Cache-Control: max-age=0"});
  EXPECT_EQ(m_Log->Count("Cache Directive Mismatch: max-age [0 sec] < cur-age"), 1u);
  EXPECT_EQ(m_Log->Count("for [vexora-ch1-1.wav] <ch1@vxs>"), 1u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  // The new synthesis is stored beside the rejected record.
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-2.cache")["checksum"],
            ReadDescriptor(Folder() / "vexora-ch1-1.cache")["checksum"]);

  // A generous max-age accepts the first record.
  SpeakToCompletion(m_Channel, text, "text/plain", {"Cache-Control: max-age=3600"});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav] use-count [0]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);

  // Records expire after the default hour: two hours of freshness are more
  // than any of them has left.
  m_Log->Clear();
  SpeakToCompletion(m_Channel, text, "text/plain", {"Cache-Control: min-fresh=7200"});
  EXPECT_EQ(m_Log->Count("Cache Directive Mismatch: min-fresh [7200 sec]"), 2u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  EXPECT_EQ(m_Channel->AudioBytes(), 4 * ToneBytes(text));
}

TEST_F(CacheTest, DifferentVoiceGenderIsNoHit) {
  Start();
  const std::string text = "gendered";
  SpeakToCompletion(m_Channel, text);
  SpeakToCompletion(m_Channel, text, "text/plain", {"Voice-Gender: female"});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-1.cache").count("voice-gender"), 0u);
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-2.cache")["voice-gender"], "1");

  SpeakToCompletion(m_Channel, text, "text/plain", {"Voice-Gender: female"});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-2.wav] use-count [0]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

TEST_F(CacheTest, AnagramsShareAChecksumAndAreToldApartByTheirContent) {
  Start();
  ASSERT_EQ(Checksum("stop"), Checksum("pots"));
  SpeakToCompletion(m_Channel, "stop");
  SpeakToCompletion(m_Channel, "pots");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Log->Count("Find Cache Record checksum [" + std::to_string(Checksum("stop")) + "]"),
            2u);
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-1.cache")["content"], "stop");
  EXPECT_EQ(ReadDescriptor(Folder() / "vexora-ch1-2.cache")["content"], "pots");

  SpeakToCompletion(m_Channel, "pots");
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-2.wav]"), 1u);
  SpeakToCompletion(m_Channel, "stop");
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

// The prompts of one template share a checksum: here every order of four
// letters. A lookup reads the descriptor of the record it plays and of no
// other, however many share the checksum and wherever it stands among them.
TEST_F(CacheTest, LookupAmongRecordsOfOneChecksumReadsOnlyTheRecordItPlays) {
  Start();
  std::string letters = "abcd";
  std::vector<std::string> texts;
  do {
    texts.push_back("say " + letters);
  } while (std::next_permutation(letters.begin(), letters.end()));
  for (const std::string& text : texts) SpeakToCompletion(m_Channel, text);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), texts.size());
  ASSERT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);

  for (size_t which : {texts.size() - 1, size_t{0}, texts.size() / 2}) {
    m_Log->Clear();
    m_Channel->ClearAudio();
    SpeakToCompletion(m_Channel, texts[which]);
    EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-" +
                           std::to_string(which + 1) + ".wav]"),
              1u)
        << texts[which];
    EXPECT_EQ(m_Log->Count("Load Cache File"), 1u) << texts[which];
    EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes(texts[which]));
  }
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), texts.size());
}

// A rate the request sets must be the record's; a request that sets none
// takes a record of any rate. The lookup decides this from memory.
TEST_F(CacheTest, RateSetByTheRequestMustBeTheRecordsAndAnUnsetRateTakesAny) {
  Start();
  const std::string text = "at a rate";
  SpeakToCompletion(m_Channel, text, "text/plain", {"Prosody-Rate: fast"});
  SpeakToCompletion(m_Channel, text, "text/plain", {"Prosody-Rate: slow"});
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);

  SpeakToCompletion(m_Channel, text, "text/plain", {"Prosody-Rate: slow"});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-2.wav]"), 1u);
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav]"), 1u);
  SpeakToCompletion(m_Channel, text, "text/plain", {"Prosody-Rate: 150%"});
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
  SpeakToCompletion(m_Channel, text, "text/plain", {"Prosody-Rate: 150%"});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-5.wav]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
}

TEST_F(CacheTest, CustomVoiceModelIsNeverLookedUpEvenWhenARecordWouldMatch) {
  Start();
  const std::string text = "custom";
  SpeakToCompletion(m_Channel, text);
  ASSERT_EQ(m_Log->Count("Find Cache Record"), 1u);

  // The local service refuses custom voices; what matters is that the call
  // is made although a matching record exists.
  const std::string model = "projects/p/locations/global/models/m";
  Send(m_Channel, SpeakText(text, "text/plain",
                            {"Vendor-Specific-Parameters: custom-voice-model=" + model}));
  EXPECT_EQ(Next(m_Channel).status_code, 407);
  EXPECT_EQ(m_Log->Count("Disable Caching for Custom Voice Model <ch1@vxs>"), 1u);
  EXPECT_EQ(m_Log->Count("Find Cache Record"), 1u);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Server->calls().Requests().at(1).voice().custom_voice().model(), model);
  EXPECT_EQ(FilesEndingWith(Folder(), ".cache"), std::vector<std::string>{"vexora-ch1-1.cache"});

  // Without the parameter the record serves again.
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

// A service that accepts custom voice models, which the local service does
// not: it answers every call with a canonical WAVE image of 20 ms of a
// byte pattern per input byte.
class AcceptingService final : public tts::TextToSpeech::Service {
 public:
  grpc::Status SynthesizeSpeech(grpc::ServerContext*, const tts::SynthesizeSpeechRequest* request,
                                tts::SynthesizeSpeechResponse* response) override {
    ++m_Calls;
    if (m_RequireCustomVoice && request->voice().custom_voice().model().empty()) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "a custom voice model is expected");
    }
    const uint32_t rate = static_cast<uint32_t>(request->audio_config().sample_rate_hertz());
    const std::string& input = request->input().text();
    std::string pcm(input.size() * rate / 50 * 2, '\0');
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<char>(i % 251);
    response->set_audio_content(Wave(pcm, rate));
    return grpc::Status::OK;
  }

  static std::string Wave(const std::string& pcm, uint32_t rate) {
    return VxTts::Pcm16WaveHeader(pcm.size(), static_cast<int>(rate)) + pcm;
  }

  std::atomic<int> m_Calls{0};
  std::atomic<bool> m_RequireCustomVoice{true};
};

class CustomVoiceCacheTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &m_Port);
    builder.RegisterService(&m_Service);
    m_Accepting = builder.BuildAndStart();
    ASSERT_TRUE(m_Accepting);
    ASSERT_GT(m_Port, 0);
  }

  void TearDown() override {
    m_Kit.reset();
    if (m_Accepting) m_Accepting->Shutdown();
    ModuleFixture::TearDown();
  }

  AcceptingService m_Service;
  std::unique_ptr<grpc::Server> m_Accepting;
  int m_Port = 0;
};

TEST_F(CustomVoiceCacheTest, WaveformIsSavedButNeitherIndexedNorServed) {
  WriteConfig("caching=\"true\" custom-voice-model=\"projects/p/models/m\" service-uri=\"127.0.0.1:" +
                  std::to_string(m_Port) + "\"",
              "  <waveform-manager waveform-folder=\"cache\" save-waveforms=\"true\"/>\n");
  StartEngine();
  vxhost::Channel* channel = OpenChannel("ch1");
  const std::string text = "my own voice";
  SpeakToCompletion(channel, text);
  ASSERT_EQ(m_Service.m_Calls.load(), 1);
  const fs::path folder = m_Root / "var" / "cache";
  EXPECT_EQ(WaveData(folder / "vexora-ch1-1.wav"), AsString(channel->Audio()));
  EXPECT_EQ(channel->AudioBytes(), ToneBytes(text));
  EXPECT_TRUE(FilesEndingWith(folder, ".cache").empty());

  SpeakToCompletion(channel, text);
  EXPECT_EQ(m_Service.m_Calls.load(), 2);
  EXPECT_EQ(m_Log->Count("Disable Caching for Custom Voice Model <ch1@vxs>"), 2u);
  EXPECT_EQ(m_Log->Count("Find Cache Record"), 0u);
  EXPECT_EQ(FilesEndingWith(folder, ".wav"),
            (std::vector<std::string>{"vexora-ch1-1.wav", "vexora-ch1-2.wav"}));
  EXPECT_TRUE(FilesEndingWith(folder, ".cache").empty());
  // A saved-only waveform is a plain file of the store: no descriptor is
  // looked for and nothing is indexed under a checksum.
  EXPECT_EQ(m_Log->Count("Cannot Open Cache File for Reading"), 0u);
  EXPECT_EQ(m_Log->Count("Added Cache Record"), 0u);
}

// A prompt written under a cached prompt's name while caching did not apply
// to it (a custom voice model; the same happens when the folder was written
// with caching off) takes the old record and its descriptor away: the old
// text is synthesized again instead of playing the other audio.
TEST_F(CustomVoiceCacheTest, PromptRewrittenWithoutCachingIsNeverServedAsTheOldOne) {
  m_Service.m_RequireCustomVoice = false;
  WriteConfig("caching=\"true\" service-uri=\"127.0.0.1:" + std::to_string(m_Port) + "\"",
              "  <waveform-manager waveform-folder=\"cache\" save-waveforms=\"true\"/>\n");
  StartEngine();
  vxhost::Channel* channel = OpenChannel("ch1");
  const fs::path folder = m_Root / "var" / "cache";
  auto speak_with_id = [&](const std::string& body, const std::vector<std::string>& headers) {
    channel->ClearAudio();
    std::string text = SpeakText(body, "text/plain", headers);
    text.replace(text.find("SPEAK 0"), 7, "SPEAK 1");
    Send(channel, text);
    EXPECT_EQ(Next(channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    EXPECT_EQ(Next(channel, 10s).method_name, "SPEAK-COMPLETE");
  };
  speak_with_id("hello", {});
  ASSERT_TRUE(fs::exists(folder / "vexora-ch1-1.cache"));
  speak_with_id("a different prompt", {"Vendor-Specific-Parameters: custom-voice-model=m1"});
  EXPECT_FALSE(fs::exists(folder / "vexora-ch1-1.cache"));
  EXPECT_EQ(WaveData(folder / "vexora-ch1-1.wav").size(), ToneBytes("a different prompt"));
  speak_with_id("hello", {});
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Service.m_Calls.load(), 3);
  EXPECT_EQ(channel->AudioBytes(), ToneBytes("hello"));
}

TEST_F(CacheTest, WaveFileRemovedByHandIsSynthesizedAgain) {
  Start();
  const std::string text = "vanishing";
  SpeakToCompletion(m_Channel, text);
  ASSERT_TRUE(fs::remove(Folder() / "vexora-ch1-1.wav"));

  m_Channel->ClearAudio();
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav]"), 1u);
  EXPECT_EQ(m_Log->Count("Cannot Open Waveform File for Reading"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Channel->AudioBytes(), ToneBytes(text));
  EXPECT_EQ(WaveData(Folder() / "vexora-ch1-2.wav"), AsString(m_Channel->Audio()));
  // The record without audio is gone; the new one serves the next repeat.
  EXPECT_FALSE(fs::exists(Folder() / "vexora-ch1-1.cache"));
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-2.wav]"), 1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
}

TEST_F(CacheTest, WaveformFolderThatIsAFileNeverStopsASpeak) {
  WriteFile(m_Root / "var" / "not-a-folder", "plain file\n");
  WriteConfig("caching=\"true\"", "  <waveform-manager waveform-folder=\"not-a-folder\"/>\n");
  StartEngine();
  m_Channel = OpenChannel("ch1");
  const std::string text = "nowhere to go";
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Cannot Open Waveform File for Writing"), 1u);
  SpeakToCompletion(m_Channel, text);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 0u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Channel->AudioBytes(), 2 * ToneBytes(text));
  EXPECT_EQ(ReadFile(m_Root / "var" / "not-a-folder"), "plain file\n");
}

// A client that reuses request ids makes two syntheses share one file name.
// The record that held the name is replaced with its files, so the index
// never keeps a record whose files hold another prompt (or that was
// deleted), and every prompt plays its own audio.
TEST_F(CacheTest, ReusedRequestIdsReplaceTheRecordOfTheirName) {
  WriteConfig("caching=\"true\"", "  <waveform-manager waveform-folder=\"cache\" "
                                  "save-waveforms=\"true\" max-file-count=\"2\"/>\n");
  StartEngine();
  vxhost::Channel* channel = OpenChannel("a");
  const std::vector<std::pair<int, std::string>> speaks = {
      {7, "hello"}, {7, "goodbye"}, {8, "hello"}, {9, "hello"}, {7, "goodbye"}, {9, "hello"}};
  for (const auto& speak : speaks) {
    channel->ClearAudio();
    std::string text = SpeakText(speak.second, "text/plain");
    text.replace(text.find("SPEAK 0"), 7, "SPEAK " + std::to_string(speak.first));
    Send(channel, text);
    EXPECT_EQ(Next(channel).request_state, MRCP_REQUEST_STATE_INPROGRESS);
    vxhost::ReceivedMessage complete = Next(channel, 10s);
    EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
    EXPECT_EQ(complete.request_id, static_cast<mrcp_request_id>(speak.first));
    EXPECT_EQ(channel->AudioBytes(), ToneBytes(speak.second)) << speak.first << " " << speak.second;
  }
  EXPECT_EQ(m_Log->Count("No Cache Record Found"), 0u);
  // What stays on disk is whole: each descriptor describes its own WAVE file.
  for (const std::string& name : FilesEndingWith(Folder(), ".cache")) {
    auto descriptor = ReadDescriptor(Folder() / name);
    fs::path wave = Folder() / (name.substr(0, name.size() - 6) + ".wav");
    ASSERT_TRUE(fs::exists(wave)) << wave;
    EXPECT_EQ(WaveData(wave).size(), ToneBytes(descriptor["content"])) << name;
  }
  EXPECT_LE(FilesEndingWith(Folder(), ".wav").size(), 2u);
}

// A folder that an engine with caching off wrote over: the saved-only
// prompt replaces the record found under its name, descriptor and all.
TEST_F(CacheTest, SavingWithCachingOffRemovesTheDescriptorOfTheName) {
  const std::string old_audio(ToneBytes("hello"), 'h');
  std::string wave = "RIFF" + std::string(4, '\0') + "WAVEfmt " + std::string("\x10\0\0\0\1\0\1\0", 8) +
                     std::string("\x40\x1f\0\0\x80\x3e\0\0\2\0\x10\0", 12) + "data";
  for (int i = 0; i < 4; ++i) wave += static_cast<char>((old_audio.size() >> (8 * i)) & 0xFF);
  WriteFile(Folder() / "vexora-ch1-1.wav", wave + old_audio);
  WriteFile(Folder() / "vexora-ch1-1.cache", "descriptor of hello");
  WriteConfig("", "  <waveform-manager waveform-folder=\"cache\" save-waveforms=\"true\"/>\n");
  StartEngine();
  m_Channel = OpenChannel("ch1");
  SpeakToCompletion(m_Channel, "goodbye");
  EXPECT_EQ(WaveData(Folder() / "vexora-ch1-1.wav").size(), ToneBytes("goodbye"));
  EXPECT_FALSE(fs::exists(Folder() / "vexora-ch1-1.cache"));
}

// The records outlive the engine. The module allows one engine per process,
// so the first engine runs in a child process (this program, filtered to
// the first test below) against the parent's service and folder; the
// parent then opens its engine on the same folder.
constexpr char kRestartFolderVariable[] = "VX_CACHE_RESTART_FOLDER";
constexpr char kRestartTargetVariable[] = "VX_CACHE_RESTART_TARGET";
const char kRestartText[] = "said before the restart";

class CacheRestart : public ModuleFixture {
 protected:
  void WriteCacheConfig(const std::string& service_uri, const fs::path& folder) {
    WriteConfig("caching=\"true\" service-uri=\"" + service_uri + "\"",
                "  <waveform-manager waveform-folder=\"" + folder.string() + "\"/>\n");
  }
};

// Runs only as the child of the next test.
TEST_F(CacheRestart, FirstEngineFillsTheFolder) {
  const char* folder = getenv(kRestartFolderVariable);
  const char* target = getenv(kRestartTargetVariable);
  if (!folder || !target) GTEST_SKIP() << "run by RecordsOfAnEarlierEngineAreServed";
  WriteCacheConfig(target, folder);
  StartEngine();
  vxhost::Channel* channel = OpenChannel("ch1");
  SpeakToCompletion(channel, kRestartText);
  SpeakToCompletion(channel, kRestartText);  // a hit: use count 1 on disk
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record"), 1u);
  EXPECT_TRUE(m_Kit->CloseChannel(channel, 5s));
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
}

TEST_F(CacheRestart, RecordsOfAnEarlierEngineAreServed) {
  StartServer();
  const fs::path folder = m_Root / "var" / "shared-cache";
  const fs::path output = m_Root / "child.log";
  // Spawned, not forked: the service's threads are running.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable; ++variable) environment.push_back(*variable);
  environment.push_back(std::string(kRestartFolderVariable) + "=" + folder.string());
  environment.push_back(std::string(kRestartTargetVariable) + "=" + m_Server->target());
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  std::string program = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=CacheRestart.FirstEngineFillsTheFolder";
  char* argv[] = {&program[0], &filter[0], nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t child = 0;
  int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0) << strerror(spawned);
  int status = 0;
  pid_t done = 0;
  Ambrel::Testing::WaitFor([&] { return (done = waitpid(child, &status, WNOHANG)) != 0; }, 60s);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the first engine did not finish\n" << ReadFile(output);
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(output);
  ASSERT_NE(ReadFile(output).find("[  PASSED  ] 1 test"), std::string::npos) << ReadFile(output);
  ASSERT_EQ(m_Server->calls().SynthesizeCalls(), 1u);

  WriteCacheConfig(m_Server->target(), folder);
  StartEngine();
  EXPECT_EQ(m_Log->Count("Added Cache Record [vexora-ch1-1.wav] checksum [" +
                         std::to_string(Checksum(kRestartText)) + "]"),
            1u);
  vxhost::Channel* channel = OpenChannel("ch1");
  SpeakToCompletion(channel, kRestartText);
  EXPECT_EQ(m_Log->Count("Found Matching Cache Record [vexora-ch1-1.wav] use-count [1] <ch1@vxs>"),
            1u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(AsString(channel->Audio()), WaveData(folder / "vexora-ch1-1.wav"));
  EXPECT_EQ(channel->AudioBytes(), ToneBytes(kRestartText));
  EXPECT_EQ(ReadDescriptor(folder / "vexora-ch1-1.cache")["use-count"], "2");
}

}  // namespace
}  // namespace vxtest
