// The speech service over TLS with bearer-token checks. A throwaway CA,
// server certificate and service-account keys are made with the openssl
// command line; GRPC_DEFAULT_SSL_ROOTS_FILE_PATH points at the CA before
// gRPC first loads its roots, which is why these tests run in a process of
// their own.

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "TtsServer.h"
#include "TtsTestSupport.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"

namespace {

namespace tts = google::cloud::texttospeech::v1;
using namespace std::chrono_literals;

constexpr char kTone[] = "vx-test-tone";

// The certificates and keys shared by every test; made once.
class TlsFiles : public ::testing::Environment {
 public:
  void SetUp() override {
    m_Dir = std::make_unique<VxTtsTest::ScratchDir>();
    const std::string d = m_Dir->Path();
    const std::string ext = File("server.ext");
    ASSERT_TRUE(VxTtsTest::WriteFile(
        ext,
        "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
        "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n"));
    const std::string commands[] = {
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/ca.key -out " + d +
            "/ca.pem -days 2 -subj '/CN=vexora test CA'",
        "openssl req -newkey rsa:2048 -nodes -keyout " + d + "/server.key -out " + d +
            "/server.csr -subj '/CN=localhost'",
        "openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -out " + d + "/server.pem -days 2 -extfile " + ext,
        "openssl genrsa -out " + d + "/sa.key 2048",
        "openssl genrsa -out " + d + "/other.key 2048",
        "openssl rsa -in " + d + "/sa.key -pubout -out " + d + "/sa.pub",
    };
    for (const std::string& command : commands) {
      ASSERT_EQ(VxTtsTest::Run(command), 0) << command;
    }
    m_ServiceAccount = KeyJson(VxTtsTest::ReadFile(File("sa.key")));
    m_OtherAccount = KeyJson(VxTtsTest::ReadFile(File("other.key")));
    ASSERT_TRUE(VxTtsTest::WriteFile(File("sa.json"), m_ServiceAccount));
    setenv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", File("ca.pem").c_str(), 1);
  }
  void TearDown() override { m_Dir.reset(); }

  std::string File(const std::string& name) const { return *m_Dir / name; }
  const std::string& service_account() const { return m_ServiceAccount; }
  const std::string& other_account() const { return m_OtherAccount; }

 private:
  static std::string KeyJson(const std::string& pem) {
    std::string escaped;
    for (char c : pem) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return R"({"type": "service_account", "project_id": "vx-test", "private_key_id": "k1",)"
           R"( "private_key": ")" +
           escaped +
           R"(", "client_email": "tts@vx-test.iam.gserviceaccount.com", "client_id": "1234",)"
           R"( "token_uri": "https://oauth2.example.invalid/token"})";
  }

  std::unique_ptr<VxTtsTest::ScratchDir> m_Dir;
  std::string m_ServiceAccount, m_OtherAccount;
};

TlsFiles* const g_Files = static_cast<TlsFiles*>(::testing::AddGlobalTestEnvironment(new TlsFiles));

class TtsServerTlsTest : public ::testing::Test {
 protected:
  void Start(const std::string& jwt_key_file) {
    VxTts::TtsServerOptions options;
    options.tls_cert_file = g_Files->File("server.pem");
    options.tls_key_file = g_Files->File("server.key");
    options.jwt_public_key_file = jwt_key_file;
    std::string error;
    ASSERT_TRUE(m_Server.Start(options, &error)) << error;
  }

  grpc::Status Synthesize(const std::string& target,
                          std::shared_ptr<grpc::ChannelCredentials> credentials,
                          size_t* audio_bytes = nullptr) {
    auto stub = tts::TextToSpeech::NewStub(grpc::CreateChannel(target, credentials));
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + 10s);
    tts::SynthesizeSpeechResponse response;
    const grpc::Status status = stub->SynthesizeSpeech(
        &context, VxTtsTest::MakeRequest("tls", kTone, tts::PCM, 8000), &response);
    if (audio_bytes != nullptr) *audio_bytes = response.audio_content().size();
    return status;
  }

  static std::shared_ptr<grpc::ChannelCredentials> WithToken(const std::string& key_json) {
    return grpc::CompositeChannelCredentials(
        grpc::SslCredentials(grpc::SslCredentialsOptions()),
        grpc::ServiceAccountJWTAccessCredentials(key_json, 3600));
  }

  std::string LocalhostTarget() const { return "localhost:" + std::to_string(m_Server.port()); }

  VxTts::TtsServer m_Server;
};

TEST_F(TtsServerTlsTest, ServiceAccountTokenIsLetInUnderBothHostNames) {
  Start(g_Files->File("sa.json"));
  for (const std::string& target : {m_Server.target(), LocalhostTarget()}) {
    SCOPED_TRACE(target);
    size_t bytes = 0;
    const grpc::Status status = Synthesize(target, WithToken(g_Files->service_account()), &bytes);
    EXPECT_TRUE(status.ok()) << status.error_code() << " " << status.error_message();
    EXPECT_EQ(bytes, 3u * 320);
  }
  auto stub = tts::TextToSpeech::NewStub(
      grpc::CreateChannel(m_Server.target(), WithToken(g_Files->service_account())));
  grpc::ClientContext context;
  tts::ListVoicesResponse voices;
  EXPECT_TRUE(stub->ListVoices(&context, tts::ListVoicesRequest(), &voices).ok());
  EXPECT_GT(voices.voices_size(), 1);
}

TEST_F(TtsServerTlsTest, PublicKeyPemWorksLikeTheKeyFile) {
  Start(g_Files->File("sa.pub"));
  EXPECT_TRUE(Synthesize(m_Server.target(), WithToken(g_Files->service_account())).ok());
}

TEST_F(TtsServerTlsTest, MissingOrForeignTokenIsUnauthenticated) {
  Start(g_Files->File("sa.json"));
  const grpc::Status no_token =
      Synthesize(m_Server.target(), grpc::SslCredentials(grpc::SslCredentialsOptions()));
  EXPECT_EQ(no_token.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  const grpc::Status foreign = Synthesize(m_Server.target(), WithToken(g_Files->other_account()));
  EXPECT_EQ(foreign.error_code(), grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_NE(foreign.error_message().find("signature"), std::string::npos)
      << foreign.error_message();
  EXPECT_EQ(m_Server.calls().SynthesizeCalls(), 2u) << "rejected calls are still counted";

  auto stub = tts::TextToSpeech::NewStub(
      grpc::CreateChannel(m_Server.target(), grpc::SslCredentials(grpc::SslCredentialsOptions())));
  grpc::ClientContext context;
  tts::ListVoicesResponse voices;
  EXPECT_EQ(stub->ListVoices(&context, tts::ListVoicesRequest(), &voices).error_code(),
            grpc::StatusCode::UNAUTHENTICATED);
}

TEST_F(TtsServerTlsTest, TlsWithoutTokenCheckAndPlaintextClientRefused) {
  Start("");
  EXPECT_TRUE(
      Synthesize(m_Server.target(), grpc::SslCredentials(grpc::SslCredentialsOptions())).ok());
  EXPECT_EQ(Synthesize(m_Server.target(), grpc::InsecureChannelCredentials()).error_code(),
            grpc::StatusCode::UNAVAILABLE);
}

TEST_F(TtsServerTlsTest, StartRefusesUnusableSecurityFiles) {
  struct Case {
    const char* what;
    std::string cert, key, jwt;
  } cases[] = {
      {"key without certificate", "", g_Files->File("server.key"), ""},
      {"missing certificate", g_Files->File("nope.pem"), g_Files->File("server.key"), ""},
      {"certificate as key", g_Files->File("server.pem"), g_Files->File("server.pem"), ""},
      {"missing token key", "", "", g_Files->File("nope.json")},
      {"token key not a key", "", "", g_Files->File("server.ext")},
  };
  for (const Case& c : cases) {
    VxTts::TtsServer server;
    VxTts::TtsServerOptions options;
    options.tls_cert_file = c.cert;
    options.tls_key_file = c.key;
    options.jwt_public_key_file = c.jwt;
    std::string error;
    EXPECT_FALSE(server.Start(options, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

}  // namespace
