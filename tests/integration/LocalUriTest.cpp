// Local URIs of a URI list play files of the waveform folder only, also when
// symbolic links inside the folder point elsewhere.
#include <unistd.h>

#include "ModuleFixture.h"
#include "RiffWave.h"

namespace vxtest {
namespace {

// A WAVE file of 8 kHz 16-bit mono holding `bytes` bytes of audio.
std::string Wave(size_t bytes, char sample) {
  return VxTts::Pcm16WaveHeader(bytes, 8000) + std::string(bytes, sample);
}

class LocalUriTest : public ModuleFixture {
 protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    StartServer();
    m_Folder = m_Root / "var" / "waves";
    WriteFile(m_Folder / "inside.wav", Wave(640, '\x11'));
    WriteFile(m_Root / "var" / "outside" / "secret.wav", Wave(960, '\x22'));
  }

  void Start(const std::string& folder = "waves") {
    WriteConfig("", "  <waveform-manager waveform-folder=\"" + folder + "\"/>\n");
    StartEngine();
    m_Channel = OpenChannel("ch1");
  }

  void Link(const fs::path& target, const fs::path& link) {
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str())) << link;
  }

  void ExpectRefused(const std::string& uri) {
    m_Log->Clear();
    Send(m_Channel, SpeakText(uri, "text/uri-list"));
    vxhost::ReceivedMessage response = Next(m_Channel);
    EXPECT_EQ(response.status_code, 401) << uri;
    EXPECT_EQ(m_Log->Count("Only local HTTP URI supported [" + uri + "] <ch1@vxs>"), 1u) << uri;
    EXPECT_EQ(m_Log->Count("Open Waveform File for Reading"), 0u) << uri;
  }

  fs::path m_Folder;
  vxhost::Channel* m_Channel = nullptr;
};

TEST_F(LocalUriTest, SymbolicLinksOutOfTheFolderAreRefused) {
  Link(m_Root / "var" / "outside" / "secret.wav", m_Folder / "absolute.wav");
  Link("../outside/secret.wav", m_Folder / "relative.wav");
  Link(m_Root / "var" / "outside", m_Folder / "linked-dir");
  // A link to a link that leaves.
  Link("relative.wav", m_Folder / "chained.wav");
  Start();
  for (const char* name : {"absolute.wav", "relative.wav", "linked-dir/secret.wav", "chained.wav"})
    ExpectRefused(std::string("http://localhost/utterances/") + name);
  EXPECT_EQ(m_Channel->AudioBytes(), 0u);
  // The folder itself, reached through a link, is no file to play.
  Link(".", m_Folder / "self");
  ExpectRefused("http://localhost/utterances/self");
}

// A URI that only starts with the base URI is not under it, and a name the
// folder lacks is not looked for where the process works.
TEST_F(LocalUriTest, OnlyNamesUnderTheBaseUriInsideTheFolderAreOpened) {
  Start();
  ExpectRefused("http://localhost/utterancesXinside.wav");
  ExpectRefused("http://localhost/utterances-inside.wav");
  const fs::path work = m_Root / "work";
  WriteFile(work / "elsewhere.wav", Wave(320, '\x33'));
  const fs::path saved = fs::current_path();
  fs::current_path(work);
  m_Log->Clear();
  Send(m_Channel, SpeakText("http://localhost/utterances/elsewhere.wav", "text/uri-list"));
  vxhost::ReceivedMessage response = Next(m_Channel);
  fs::current_path(saved);
  EXPECT_EQ(response.status_code, 401);
  EXPECT_EQ(m_Log->Count("Cannot Open Waveform File for Reading " +
                         fs::canonical(m_Folder).string() + "/elsewhere.wav"),
            1u);
  EXPECT_EQ(m_Channel->AudioBytes(), 0u);
}

TEST_F(LocalUriTest, SymbolicLinksThatStayInsideThePlayedFolderPlay) {
  // The folder is configured through a link of its own, and a link inside
  // it names another of its files.
  Link(m_Folder, m_Root / "var" / "waves-link");
  Link("inside.wav", m_Folder / "alias.wav");
  fs::create_directories(m_Folder / "sub");
  Link("../inside.wav", m_Folder / "sub" / "up.wav");
  Start("waves-link");
  SpeakToCompletion(m_Channel,
                    "http://localhost/utterances/inside.wav\n"
                    "http://localhost/utterances/alias.wav\n"
                    "http://localhost/utterances/sub/up.wav\n",
                    "text/uri-list");
  EXPECT_EQ(m_Channel->AudioBytes(), 3 * 640u);
}

}  // namespace
}  // namespace vxtest
