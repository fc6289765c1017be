// Service credentials of the engine: the audience, reading key files, the
// credentials cache, which keys are fit for the library's default
// credentials, and the endpoint a channel composes. Keys are real: an RSA
// key made with the openssl command line in a service-account key document.
// Over 400 lines: one fixture for everything the engine does with keys.
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <grpc/support/log.h>

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

TEST_F(EngineCredentialsTest, KeyFileIsReadWholeUpToOneMebibyte) {
  std::string content;
  for (int i = 0; content.size() < 5000; ++i) content += static_cast<char>('a' + i % 26);
  std::string read = "old";
  ASSERT_TRUE(m_Engine->LoadCredentialsFile(KeyFile("long.json", content), read));
  EXPECT_EQ(read, content);
  // Past the limit the rest is left unread; the engine's own reader is the
  // same one.
  content.resize(Engine::kMaxKeyFileSize + 10, 'z');
  std::string path = KeyFile("huge.json", content);
  ASSERT_TRUE(m_Engine->LoadCredentialsFile(path, read));
  EXPECT_EQ(read.size(), Engine::kMaxKeyFileSize);
  EXPECT_EQ(read, content.substr(0, Engine::kMaxKeyFileSize));
  std::string direct;
  ASSERT_TRUE(Engine::ReadKeyFile(path, direct));
  EXPECT_EQ(direct, read);
  EXPECT_FALSE(Engine::ReadKeyFile(m_Dir / "missing.json", direct));
  EXPECT_EQ(direct, read);
}

// A key document as the service's console hands it out, every field on a
// line of its own, around a 4096-bit RSA key: about 4 KiB, within a few
// dozen bytes of the old limit of 4096 (a longer account name passes it).
TEST_F(EngineCredentialsTest, KeyWithA4096BitRsaKeyLoadsAndMakesCredentials) {
  Ambrel::Testing::ScratchDir keys;
  std::string command = "openssl genrsa -out " + (keys / "big.key") + " 4096 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string pem = ReadFile(keys / "big.key");
  ASSERT_GT(pem.size(), 3000u);
  const std::string email = "speech-synthesis-account@vx-test-project-271828.iam.example.invalid";
  const std::pair<const char*, std::string> fields[] = {
      {"type", "service_account"},
      {"project_id", "vx-test-project-271828"},
      {"private_key_id", "0123456789abcdef0123456789abcdef01234567"},
      {"private_key", JsonEscaped(pem)},
      {"client_email", email},
      {"client_id", "104857600000000000001"},
      {"auth_uri", "https://accounts.example.invalid/o/oauth2/auth"},
      {"token_uri", "https://oauth2.example.invalid/token"},
      {"auth_provider_x509_cert_url", "https://certificates.example.invalid/oauth2/v1/certs"},
      {"client_x509_cert_url",
       "https://certificates.example.invalid/robot/v1/metadata/x509/speech-synthesis-account"
       "%40vx-test-project-271828.iam.example.invalid"},
      {"universe_domain", "example.invalid"}};
  std::string document = "{\n";
  for (const auto& field : fields) {
    if (document.size() > 2) document += ",\n";
    document += std::string("    \"") + field.first + "\": \"" + field.second + "\"";
  }
  document += "\n}\n";
  ASSERT_GT(document.size(), 3900u);
  std::string path = KeyFile("big.json", document);
  std::string read;
  ASSERT_TRUE(m_Engine->LoadCredentialsFile(path, read));
  EXPECT_EQ(read, document);
  EXPECT_TRUE(Engine::IsUsableCredentialsKey(read));
  EXPECT_NE(m_Engine->CreateCredentials(path, ""), nullptr);
  EXPECT_EQ(m_Log.Count("[WARNING]"), 0u);
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

// Workload identity federation: the library reads these keys offline and
// exchanges tokens only when a call needs one. Subject-token endpoints on a
// closed loopback port: nothing may try them while the key is checked.
std::string ExternalAccountKey(const std::string& credential_source,
                               const std::string& token_url = "https://sts.googleapis.com/v1/token",
                               const std::string& more = "") {
  return R"({"type": "external_account",)"
         R"( "audience": "//iam.googleapis.com/projects/1/locations/global/workloadIdentityPools/p/providers/q",)"
         R"( "subject_token_type": "urn:ietf:params:oauth:token-type:jwt",)"
         R"( "token_url": ")" +
         token_url + R"(", "credential_source": )" + credential_source + more + "}";
}

TEST_F(EngineCredentialsTest, ExternalAccountKeysOfEverySourceAreUsable) {
  const std::string sources[] = {
      R"({"file": "/var/run/secrets/token"})",
      R"({"file": "/var/run/secrets/token.json", "format": {"type": "json",)"
      R"( "subject_token_field_name": "id_token"}})",
      R"({"url": "http://127.0.0.1:1/token", "headers": {"Metadata": "True"}})",
      // The library takes AWS metadata only from the instance metadata address.
      R"({"environment_id": "aws1",)"
      R"( "region_url": "http://169.254.169.254/latest/meta-data/placement/availability-zone",)"
      R"( "url": "http://169.254.169.254/latest/meta-data/iam/security-credentials",)"
      R"( "regional_cred_verification_url": "https://sts.{region}.example.invalid"})",
  };
  for (const std::string& source : sources) {
    EXPECT_TRUE(Engine::IsUsableCredentialsKey(ExternalAccountKey(source))) << source;
  }
}

TEST_F(EngineCredentialsTest, ExternalAccountKeysTheLibraryCannotReadAreUnusable) {
  const std::string keys[] = {
      // No way to get a subject token, or an unknown one.
      ExternalAccountKey(R"({})"),
      ExternalAccountKey(R"({"command": "/bin/token"})"),
      ExternalAccountKey(R"("a file")"),
      ExternalAccountKey(R"({"environment_id": "aws2", "region_url": "x",)"
                         R"( "regional_cred_verification_url": "y"})"),
      // A URL without a path, which the library would read past its end.
      ExternalAccountKey(R"({"url": "http://127.0.0.1:1"})"),
      // Fields the library requires.
      R"({"type": "external_account", "audience": "a", "subject_token_type": "b",)"
      R"( "credential_source": {"file": "/t"}})",
  };
  for (const std::string& key : keys) EXPECT_FALSE(Engine::IsUsableCredentialsKey(key)) << key;
}

// The default credentials take an external account only with its token
// endpoints on the token services, over https; others send them to the
// metadata-server probe. These verdicts are the library's own, observed for
// each URL with the network cut off.
TEST_F(EngineCredentialsTest, ExternalAccountEndpointsMustBeTheTokenServices) {
  const char* source = R"({"file": "/var/run/secrets/token"})";
  const std::pair<const char*, bool> token_urls[] = {
      {"https://sts.googleapis.com/v1/token", true},
      {"HTTPS://sts.googleapis.com:443/v1/token", true},
      {"https://sts.googleapis.com", true},
      {"https://sts.us-east1.rep.googleapis.com/v1/token", true},
      {"https://us-east1.sts.googleapis.com/v1/token", true},
      {"https://us-east1-sts.googleapis.com/v1/token", true},
      {"https://sts-private.p.googleapis.com/v1/token", true},
      {"https://iamcredentials.googleapis.com/v1/token", true},
      {"http://sts.googleapis.com/v1/token", false},
      {"https://STS.GOOGLEAPIS.COM/v1/token", false},
      {"https://sts.example.com/v1/token", false},
      {"https://sts.googleapis.com.example.com/v1/token", false},
      {"https://evilsts.googleapis.com/v1/token", false},
      {"https://sts.p.googleapis.com/v1/token", false},
      {"https://user@sts.googleapis.com/v1/token", false},
      {"https://127.0.0.1:1/v1/token", false},
      {"https:sts.googleapis.com/v1/token", false},
      {"", false},
  };
  for (const auto& url : token_urls) {
    EXPECT_EQ(Engine::IsUsableCredentialsKey(ExternalAccountKey(source, url.first)), url.second)
        << url.first;
  }
  // The optional endpoints follow the same rule when they are given.
  const std::pair<const char*, bool> optional[] = {
      {R"(, "service_account_impersonation_url": "https://iamcredentials.googleapis.com/v1/x")",
       true},
      {R"(, "token_info_url": "https://sts.googleapis.com/v1/introspect")", true},
      {R"(, "service_account_impersonation_url": "https://127.0.0.1/x")", false},
      {R"(, "token_info_url": "https://127.0.0.1/x")", false},
      {R"(, "service_account_impersonation_url": "")", false},
      {R"(, "token_info_url": 5)", false},
  };
  for (const auto& field : optional) {
    EXPECT_EQ(Engine::IsUsableCredentialsKey(
                  ExternalAccountKey(source, "https://sts.googleapis.com/v1/token", field.first)),
              field.second)
        << field.first;
  }
}

// What the gRPC library logs while a key is checked.
std::vector<std::string>& GrpcLines() {
  static std::vector<std::string> lines;
  return lines;
}
std::mutex g_GrpcLinesMutex;

void CollectGrpcLine(gpr_log_func_args* args) {
  std::lock_guard<std::mutex> lock(g_GrpcLinesMutex);
  GrpcLines().push_back(args->message ? args->message : "");
}

// The check asks only the library reader that matches the key's type, so a
// good key of any type leaves the library's log empty.
TEST_F(EngineCredentialsTest, CheckingAGoodKeyOfAnyTypeLogsNothing) {
  const std::string keys[] = {
      ServiceAccountKey(PrivateKeyPem()),
      R"({"type": "authorized_user", "client_id": "a", "client_secret": "b",)"
      R"( "refresh_token": "c"})",
      ExternalAccountKey(R"({"file": "/var/run/secrets/token"})"),
  };
  gpr_set_log_function(CollectGrpcLine);
  for (const std::string& key : keys) {
    EXPECT_TRUE(Engine::IsUsableCredentialsKey(key)) << key;
    std::lock_guard<std::mutex> lock(g_GrpcLinesMutex);
    for (const std::string& line : GrpcLines()) ADD_FAILURE() << line << " for " << key;
    GrpcLines().clear();
  }
  gpr_set_log_function(nullptr);
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
