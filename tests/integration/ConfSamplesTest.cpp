// Every sample configuration in conf/ is what a new user copies first: each
// one, unchanged, must open the engine without a warning. The key file a
// sample names is placed in the data folder as a real service-account key,
// so that the cloud sample's secure transport creates its credentials
// offline. Opening makes no call: channels are not opened here, so neither
// sample reaches the service or the network.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>
#include <vector>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

const fs::path kSampleFolder = fs::path(VX_SOURCE_DIR) / "conf";

std::vector<std::string> SampleNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kSampleFolder)) {
    if (entry.path().extension() == ".xml") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string JsonEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  return escaped;
}

class ConfSampleTest : public ModuleFixture, public ::testing::WithParamInterface<std::string> {
 protected:
  // Writes a service-account key around a new RSA key at `path`.
  void MakeKey(const fs::path& path) {
    fs::path pem = m_Root / "key.pem";
    std::string command = "openssl genrsa -out " + pem.string() + " 2048 >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    WriteFile(path, R"({"type": "service_account", "project_id": "vx-sample", "private_key_id":)"
                    R"( "k1", "private_key": ")" +
                        JsonEscaped(ReadFile(pem)) +
                        R"(", "client_email": "tts@vx-sample.iam.gserviceaccount.com",)"
                        R"( "client_id": "1"})");
  }
};

TEST_P(ConfSampleTest, OpensTheEngineWithoutAWarning) {
  const std::string sample = ReadFile(kSampleFolder / GetParam());
  ASSERT_FALSE(sample.empty());
  WriteFile(m_Root / "conf" / "vexora.xml", sample);
  std::smatch key;
  ASSERT_TRUE(std::regex_search(sample, key, std::regex("gapp-credentials-file=\"([^\"]+)\"")));
  ASSERT_NO_FATAL_FAILURE(MakeKey(m_Root / "data" / key[1].str()));

  StartEngine();
  for (const std::string& line : m_Log->Lines()) {
    for (const char* bad : {"[WARNING]", "[ERROR]", "[CRITICAL]", "[ALERT]", "[EMERGENCY]"}) {
      EXPECT_EQ(line.find(bad), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(m_Kit->CloseEngine(5s));
}

INSTANTIATE_TEST_SUITE_P(Samples, ConfSampleTest, ::testing::ValuesIn(SampleNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace vxtest
