// Service credentials of the engine: the audience, reading key files, the
// credentials cache, which keys are fit for the library's default
// credentials, and the endpoint a channel composes. Keys are real: an RSA
// key made with the openssl command line in a service-account key document.
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"
#include "ambrel/testing/TestSupport.h"
#include "vxhost/LogSink.h"

namespace VXS {
namespace {

namespace fs = std::filesystem;

const char kDefaultEndpoint[] = "texttospeech.googleapis.com:443";

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::string JsonEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  return escaped;
}

// A service-account key document around a PEM private key; `omit` names a
// field left out.
std::string ServiceAccountKey(const std::string& private_key_pem, const std::string& omit = "") {
  const std::pair<const char*, std::string> fields[] = {
      {"type", "service_account"},
      {"project_id", "vx-test"},
      {"private_key_id", "k1"},
      {"private_key", JsonEscaped(private_key_pem)},
      {"client_email", "tts@vx-test.iam.gserviceaccount.com"},
      {"client_id", "1234"},
      {"token_uri", "https://oauth2.example.invalid/token"},
  };
  std::string json = "{";
  for (const auto& field : fields) {
    if (omit == field.first) continue;
    if (json.size() > 1) json += ", ";
    json += std::string("\"") + field.first + "\": \"" + field.second + "\"";
  }
  return json + "}";
}

// One RSA key per test process, made on first use.
const std::string& PrivateKeyPem() {
  static const std::string pem = [] {
    Ambrel::Testing::ScratchDir dir;
    std::string command = "openssl genrsa -out " + (dir / "sa.key") + " 2048 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadFile(dir / "sa.key");
  }();
  return pem;
}

class EngineCredentialsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }

  void SetUp() override {
    ASSERT_TRUE(m_Dir.IsValid());
    ASSERT_EQ(apr_pool_create(&m_Pool, nullptr), APR_SUCCESS);
  }
  void TearDown() override {
    m_Engine.reset();
    apr_pool_destroy(m_Pool);
  }

  // Gives the engine a host record whose layout is rooted at the scratch
  // folder, as the host does before open.
  void AttachHost() {
    m_Layout = apt_default_dir_layout_create(m_Dir.Path().c_str(), m_Pool);
    ASSERT_NE(m_Layout, nullptr);
    m_HostEngine = mrcp_engine_t();
    m_HostEngine.id = "vxs";
    m_HostEngine.pool = m_Pool;
    m_HostEngine.dir_layout = m_Layout;
    m_Engine->SetHostEngine(&m_HostEngine);
  }

  std::string KeyFile(const std::string& name, const std::string& content) {
    std::string path = m_Dir / name;
    WriteFile(path, content);
    return path;
  }

  Ambrel::Testing::ScratchDir m_Dir;
  apr_pool_t* m_Pool = nullptr;
  apt_dir_layout_t* m_Layout = nullptr;
  mrcp_engine_t m_HostEngine = mrcp_engine_t();
  std::unique_ptr<Engine> m_Engine{new Engine("vxs")};
  vxhost::LogCapture m_Log{true, APT_PRIO_DEBUG};
};

// ------------------------------------------------------------------ Audience

TEST_F(EngineCredentialsTest, AudienceIsLeftAloneWithoutARegion) {
  std::string audience = "untouched";
  m_Engine->ComposeAudience("", audience);
  EXPECT_EQ(audience, "untouched");
}

TEST_F(EngineCredentialsTest, AudienceNamesTheRegionalHostForAnyRegionIncludingGlobal) {
  std::string audience;
  m_Engine->ComposeAudience("global", audience);
  EXPECT_EQ(audience, "https://global-texttospeech.googleapis.com/");
  audience.clear();
  m_Engine->ComposeAudience("europe-west1", audience);
  EXPECT_EQ(audience, "https://europe-west1-texttospeech.googleapis.com/");
}

// The library mints the token audience from the channel's authority; for a
// regional endpoint that must be the audience composed for the region.
TEST_F(EngineCredentialsTest, AudienceMatchesTheAuthorityOfTheRegionalEndpoint) {
  std::string audience;
  m_Engine->ComposeAudience("europe-west1", audience);
  std::string endpoint = Channel::ComposeEndpoint("", "europe-west1");
  ASSERT_GT(endpoint.size(), 4u);
  ASSERT_EQ(endpoint.substr(endpoint.size() - 4), ":443");
  EXPECT_EQ(audience, "https://" + endpoint.substr(0, endpoint.size() - 4) + "/");
}

// ----------------------------------------------------------------- Key files

TEST_F(EngineCredentialsTest, LongKeyFileIsReadAsItsFirst4096Bytes) {
  std::string content;
  for (int i = 0; content.size() < 5000; ++i) content += static_cast<char>('a' + i % 26);
  content.resize(5000);
  std::string path = KeyFile("long.json", content);
  std::string read = "old";
  ASSERT_TRUE(m_Engine->LoadCredentialsFile(path, read));
  EXPECT_EQ(read, content.substr(0, 4096));
}

TEST_F(EngineCredentialsTest, ShortKeyFileIsReadWhole) {
  std::string path = KeyFile("short.json", "{\"a\": 1}\n");
  std::string read;
  ASSERT_TRUE(m_Engine->LoadCredentialsFile(path, read));
  EXPECT_EQ(read, "{\"a\": 1}\n");
}

TEST_F(EngineCredentialsTest, MissingEmptyOrDirectoryKeyFileFailsAndKeepsTheOutput) {
  std::string missing = m_Dir / "missing.json";
  std::string read = "kept";
  EXPECT_FALSE(m_Engine->LoadCredentialsFile(missing, read));
  EXPECT_EQ(read, "kept");
  EXPECT_EQ(m_Log.Count("Failed to Open Credentials File " + missing), 1u);

  std::string empty = KeyFile("empty.json", "");
  EXPECT_FALSE(m_Engine->LoadCredentialsFile(empty, read));
  EXPECT_EQ(read, "kept");
  EXPECT_EQ(m_Log.Count("Failed to Read Credentials File " + empty), 1u);

  // A folder opens for reading but yields no bytes.
  std::string folder = m_Dir / "folder.json";
  fs::create_directories(folder);
  EXPECT_FALSE(m_Engine->LoadCredentialsFile(folder, read));
  EXPECT_EQ(read, "kept");
  EXPECT_EQ(m_Log.Count("Failed to Read Credentials File " + folder), 1u);
}

// --------------------------------------------------------------------- Cache

TEST_F(EngineCredentialsTest, CreatedOnceThenFoundWithoutReadingTheFileAgain) {
  std::string path = KeyFile("sa.json", ServiceAccountKey(PrivateKeyPem()));
  EXPECT_EQ(m_Engine->FindCredentials(path), nullptr);
  Engine::Credentials created = m_Engine->CreateCredentials(path, "");
  ASSERT_NE(created, nullptr);
  fs::remove(path);
  EXPECT_EQ(m_Engine->FindCredentials(path), created);
  EXPECT_EQ(m_Engine->FindCredentials(path), created);
  EXPECT_EQ(m_Log.Count("[WARNING]"), 0u);
}

TEST_F(EngineCredentialsTest, TheCacheIsKeyedByThePathAloneWhateverTheRegion) {
  std::string path = KeyFile("sa.json", ServiceAccountKey(PrivateKeyPem()));
  Engine::Credentials first = m_Engine->CreateCredentials(path, "europe-west1");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(path), first);
  // A later creation for another region returns its own set but leaves the
  // cached one in place.
  Engine::Credentials second = m_Engine->CreateCredentials(path, "us-central1");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(m_Engine->FindCredentials(path), first);
}

TEST_F(EngineCredentialsTest, LookupIsExactAndCaseSensitive) {
  std::string path = KeyFile("Key.json", ServiceAccountKey(PrivateKeyPem()));
  ASSERT_NE(m_Engine->CreateCredentials(path, ""), nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(m_Dir / "key.json"), nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(path + " "), nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(m_Dir.Path() + "/./Key.json"), nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(""), nullptr);
}

TEST_F(EngineCredentialsTest, MissingKeyFileCreatesNothingAndALaterAttemptSucceeds) {
  std::string path = m_Dir / "later.json";
  EXPECT_EQ(m_Engine->CreateCredentials(path, ""), nullptr);
  EXPECT_EQ(m_Log.Count("Failed to Open Credentials File " + path), 1u);
  EXPECT_EQ(m_Log.Count("Failed to Load Google Credentials File"), 1u);
  EXPECT_EQ(m_Engine->FindCredentials(path), nullptr);

  WriteFile(path, ServiceAccountKey(PrivateKeyPem()));
  Engine::Credentials created = m_Engine->CreateCredentials(path, "");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(m_Engine->FindCredentials(path), created);
}

TEST_F(EngineCredentialsTest, KeyTextTheLibraryRejectsFailsTheCallCredentials) {
  const std::string bad_keys[] = {
      "this is not a key",
      ServiceAccountKey(PrivateKeyPem(), "client_id"),
      ServiceAccountKey(PrivateKeyPem(), "private_key"),
      "{\"type\": \"authorized_user\", \"client_id\": \"a\", \"client_secret\": \"b\","
      " \"refresh_token\": \"c\"}",
  };
  int index = 0;
  for (const std::string& key : bad_keys) {
    std::string path = KeyFile("bad" + std::to_string(index++) + ".json", key);
    EXPECT_EQ(m_Engine->CreateCredentials(path, "europe-west1"), nullptr) << key;
    EXPECT_EQ(m_Engine->FindCredentials(path), nullptr) << key;
  }
  EXPECT_EQ(m_Log.Count("Failed to Create Call Credentials"), 4u);
  EXPECT_EQ(m_Log.Count("Failed to Load Google Credentials File"), 0u);
}

// ------------------------------------------------------ Keys fit for default

TEST_F(EngineCredentialsTest, CompleteServiceAccountKeyIsUsable) {
  EXPECT_TRUE(Engine::IsUsableCredentialsKey(ServiceAccountKey(PrivateKeyPem())));
  // project_id and token_uri are not needed for self-signed tokens.
  std::string key = ServiceAccountKey(PrivateKeyPem(), "project_id");
  EXPECT_TRUE(Engine::IsUsableCredentialsKey(key));
}

// Each of these would send the library's default credentials to the
// metadata-server probe, so none may pass.
TEST_F(EngineCredentialsTest, ServiceAccountKeyTheLibraryCannotReadIsUnusable) {
  for (const char* field : {"private_key", "client_email", "client_id", "private_key_id", "type"}) {
    EXPECT_FALSE(Engine::IsUsableCredentialsKey(ServiceAccountKey(PrivateKeyPem(), field)))
        << "without " << field;
  }
}

TEST_F(EngineCredentialsTest, AuthorizedUserKeyNeedsItsThreeFields) {
  EXPECT_TRUE(Engine::IsUsableCredentialsKey(
      R"({"type": "authorized_user", "client_id": "a", "client_secret": "b",)"
      R"( "refresh_token": "c"})"));
  EXPECT_FALSE(Engine::IsUsableCredentialsKey(
      R"({"type": "authorized_user", "client_id": "a", "client_secret": "b"})"));
  EXPECT_FALSE(Engine::IsUsableCredentialsKey(
      R"({"type": "authorized_user", "client_id": 5, "client_secret": "b",)"
      R"( "refresh_token": "c"})"));
}

TEST_F(EngineCredentialsTest, OtherTypesAndMalformedDocumentsAreUnusable) {
  const std::string unusable[] = {
      R"({"type": "external_account", "audience": "x", "subject_token_type": "y"})",
      R"({"type": "impersonated_service_account"})",
      R"({"type": "SERVICE_ACCOUNT", "private_key": "k", "client_email": "e"})",
      R"({"type": 1})",
      R"({})",
      R"([])",
      "",
      "{",
      "not json at all",
      ServiceAccountKey(PrivateKeyPem()).substr(0, 200),
  };
  for (const std::string& key : unusable) {
    EXPECT_FALSE(Engine::IsUsableCredentialsKey(key)) << key;
  }
}

// -------------------------------------------------------------- Path lookup

TEST_F(EngineCredentialsTest, KeyFileNamesResolveAgainstTheDataFolder) {
  AttachHost();
  const char* data_dir = apt_dir_layout_path_get(m_Layout, APT_LAYOUT_DATA_DIR);
  ASSERT_NE(data_dir, nullptr);
  std::string path;
  ASSERT_TRUE(m_Engine->GetCredentialsFilePath(path, "keys/other.json", m_Pool));
  EXPECT_EQ(path, std::string(data_dir) + "/keys/other.json");
  // Existence is not checked, and an absolute name stays as it is.
  ASSERT_TRUE(m_Engine->GetCredentialsFilePath(path, "/nowhere/abs.json", m_Pool));
  EXPECT_EQ(path, "/nowhere/abs.json");
}

TEST_F(EngineCredentialsTest, KeyFileNameCannotBeResolvedWithoutAHostLayout) {
  std::string path = "unchanged";
  EXPECT_FALSE(m_Engine->GetCredentialsFilePath(path, "other.json", m_Pool));
}

// ----------------------------------------------------------------- Endpoint

TEST(ChannelEndpointTest, DefaultEndpointWithoutRegionOrForGlobal) {
  EXPECT_EQ(Channel::ComposeEndpoint("", ""), kDefaultEndpoint);
  EXPECT_EQ(Channel::ComposeEndpoint("", "global"), kDefaultEndpoint);
}

TEST(ChannelEndpointTest, OtherRegionsPrefixTheDefaultEndpoint) {
  EXPECT_EQ(Channel::ComposeEndpoint("", "europe-west1"),
            std::string("europe-west1-") + kDefaultEndpoint);
  // Only the exact name "global" means the default endpoint.
  EXPECT_EQ(Channel::ComposeEndpoint("", "Global"), std::string("Global-") + kDefaultEndpoint);
}

TEST(ChannelEndpointTest, ConfiguredServiceUriIsUsedUnchangedWhateverTheRegion) {
  for (const char* region : {"", "global", "europe-west1"}) {
    EXPECT_EQ(Channel::ComposeEndpoint("localhost:50051", region), "localhost:50051") << region;
    EXPECT_EQ(Channel::ComposeEndpoint("dns:///tts.example.test:443", region),
              "dns:///tts.example.test:443")
        << region;
  }
}

}  // namespace
}  // namespace VXS
