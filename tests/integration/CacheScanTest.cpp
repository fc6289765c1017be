// The start-up scan of a large waveform folder: the engine's open is
// answered once the first records are indexed, the rest are indexed behind
// it between other work, a SPEAK meanwhile is served its own audio, and the
// count limit at the scan's end goes by each record's own use count.
#include <algorithm>
#include <cstdint>
#include <string>

#include "ModuleFixture.h"
#include "RiffWave.h"

namespace vxtest {
namespace {

// More than the engine indexes before answering its open.
constexpr int kRecords = 5000;
// Records written with no use: the ones the count limit takes at the end.
constexpr int kUnused = 500;

void PutToken(std::string& out, const std::string& token) {
  VxTts::PutLe32(&out, static_cast<uint32_t>(token.size()));
  out += token;
}

std::string TextOf(int n) { return "stored prompt number " + std::to_string(n); }
std::string NameOf(int n) { return "vexora-old-" + std::to_string(n); }

// Audio no synthesis would give: the record's number in every sample.
std::string AudioOf(int n) {
  std::string audio;
  for (int i = 0; i < 80; ++i) VxTts::PutLe16(&audio, static_cast<uint16_t>(n));
  return audio;
}

// A record as an earlier engine leaves it: the WAVE file and its
// descriptor. Every record but the first kUnused has been played once.
void WriteRecord(const fs::path& folder, int n) {
  const std::string text = TextOf(n);
  const std::string audio = AudioOf(n);
  WriteFile(folder / (NameOf(n) + ".wav"), VxTts::Pcm16WaveHeader(audio.size(), 8000) + audio);
  std::string descriptor;
  PutToken(descriptor, "checksum");
  PutToken(descriptor, std::to_string(Checksum(text)));
  PutToken(descriptor, "language");
  PutToken(descriptor, "en-US");
  PutToken(descriptor, "sampling-rate");
  PutToken(descriptor, "8000");
  PutToken(descriptor, "voice-name");
  PutToken(descriptor, kTestVoice);
  if (n >= kUnused) {
    PutToken(descriptor, "use-count");
    PutToken(descriptor, "1");
  }
  PutToken(descriptor, "content");
  PutToken(descriptor, text);
  WriteFile(folder / (NameOf(n) + ".cache"), descriptor);
}

class CacheScanTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
    fs::create_directories(Folder());
    for (int n = 0; n < kRecords; ++n) WriteRecord(Folder(), n);
  }

  void Start(const std::string& manager_attributes) {
    WriteConfig("caching=\"true\"",
                "  <waveform-manager waveform-folder=\"cache\" " + manager_attributes + "/>\n");
    StartEngine();
  }

  fs::path Folder() const { return m_Root / "var" / "cache"; }

  size_t WaveCount() const {
    size_t count = 0;
    for (const auto& item : fs::directory_iterator(Folder())) {
      if (item.path().extension() == ".wav") ++count;
    }
    return count;
  }

  // The audio played, without the silence that fills its last frame.
  std::string Played(vxhost::Channel* channel) const {
    const std::vector<char>& audio = channel->Audio();
    std::string played(audio.begin(), audio.end());
    while (!played.empty() && played.back() == '\0') played.pop_back();
    return played;
  }
};

TEST_F(CacheScanTest, LargeFolderIsIndexedBehindTheOpenAndEvictedByUseCount) {
  // Room for every used record and one new one.
  Start("max-file-count=\"" + std::to_string(kRecords - kUnused + 1) + "\"");
  EXPECT_EQ(m_Log->Count("Index Cache Records in Background [4096 indexed at open]"), 1u);

  // Served while the scan may still go on: synthesized, with its own audio,
  // and nothing evicted before the scan has seen every record.
  vxhost::Channel* channel = OpenChannel("ch1");
  const std::string fresh = "a prompt said for the first time";
  SpeakToCompletion(channel, fresh);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_EQ(channel->AudioBytes(), fresh.size() * 8000 / 50 * 2);

  ASSERT_TRUE(m_Log->WaitFor("Cache Records Indexed [" +
                                 std::to_string(kRecords - kUnused + 1) + "]",
                             30s));
  EXPECT_EQ(m_Log->Count("[max file count]"), static_cast<size_t>(kUnused));
  EXPECT_EQ(WaveCount(), static_cast<size_t>(kRecords - kUnused + 1));
  for (int n : {0, kUnused / 2, kUnused - 1}) {
    EXPECT_FALSE(fs::exists(Folder() / (NameOf(n) + ".wav"))) << n;
    EXPECT_FALSE(fs::exists(Folder() / (NameOf(n) + ".cache"))) << n;
  }
  EXPECT_TRUE(fs::exists(Folder() / "vexora-ch1-1.wav"));

  // Every used record is served from its own file, wherever the scan found
  // it; the fresh prompt is a hit too.
  for (int n : {kUnused, kRecords / 2, kRecords - 1}) {
    channel->ClearAudio();
    SpeakToCompletion(channel, TextOf(n));
    EXPECT_EQ(Played(channel), AudioOf(n)) << n;
  }
  channel->ClearAudio();
  SpeakToCompletion(channel, fresh);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 1u);
  EXPECT_TRUE(m_Kit->CloseChannel(channel, 5s));
}

// A stored record's name is taken again by a new SPEAK, whether or not the
// scan has reached the record yet: the folder then holds the new one alone,
// indexed once, and the old text is no hit on the new audio.
TEST_F(CacheScanTest, RecordWhoseNameIsTakenAgainDuringTheScanIsIndexedOnce) {
  Start("max-file-count=\"0\"");
  // Channel "old" with request id 1 writes "vexora-old-1.wav".
  vxhost::Channel* channel = OpenChannel("old");
  const std::string fresh = "the record's name is taken again";
  SpeakToCompletion(channel, fresh);
  ASSERT_TRUE(m_Log->WaitFor("Cache Records Indexed [", 30s));
  EXPECT_EQ(WaveCount(), static_cast<size_t>(kRecords));

  channel->ClearAudio();
  SpeakToCompletion(channel, TextOf(1));
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_NE(Played(channel), AudioOf(1));
  channel->ClearAudio();
  SpeakToCompletion(channel, fresh);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_TRUE(m_Kit->CloseChannel(channel, 5s));
}

// Closing the engine while the scan goes on stops it: nothing is left
// running on a manager that is gone.
TEST_F(CacheScanTest, EngineClosedDuringTheScan) {
  Start("max-file-count=\"0\"");
  EXPECT_TRUE(m_Kit->CloseEngine(10s));
  m_Kit.reset();
  EXPECT_EQ(WaveCount(), static_cast<size_t>(kRecords));
}

}  // namespace
}  // namespace vxtest
