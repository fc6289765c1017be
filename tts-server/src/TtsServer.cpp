#include "TtsServer.h"

#include <grpcpp/grpcpp.h>
#include <grpcpp/resource_quota.h>
#include <grpcpp/security/server_credentials.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "ConnectionAcceptor.h"
#include "JwtVerifier.h"
#include "Synthesizer.h"
#include "TtsService.h"

namespace VxTts {
namespace {

constexpr std::chrono::milliseconds kShutdownGrace(2000);

bool ReadFile(const std::string& path, std::string* content, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream out;
  out << in.rdbuf();
  *content = out.str();
  return true;
}

bool MakeCredentials(const TtsServerOptions& options,
                     std::shared_ptr<grpc::ServerCredentials>* credentials, std::string* error) {
  if (options.tls_cert_file.empty() && options.tls_key_file.empty()) {
    *credentials = grpc::InsecureServerCredentials();
    return true;
  }
  if (options.tls_cert_file.empty() || options.tls_key_file.empty()) {
    *error = "TLS needs both a certificate file and a key file";
    return false;
  }
  grpc::SslServerCredentialsOptions::PemKeyCertPair pair;
  if (!ReadFile(options.tls_cert_file, &pair.cert_chain, error) ||
      !ReadFile(options.tls_key_file, &pair.private_key, error)) {
    return false;
  }
  if (pair.cert_chain.find("-----BEGIN CERTIFICATE-----") == std::string::npos ||
      pair.private_key.find("PRIVATE KEY-----") == std::string::npos) {
    *error = "TLS certificate or key file is not PEM";
    return false;
  }
  grpc::SslServerCredentialsOptions ssl;
  ssl.pem_key_cert_pairs.push_back(std::move(pair));
  *credentials = grpc::SslServerCredentials(ssl);
  return true;
}

}  // namespace

TtsServer::TtsServer() = default;

TtsServer::~TtsServer() { Shutdown(); }

bool TtsServer::Start(const TtsServerOptions& options, std::string* error) {
  if (m_Server != nullptr || m_Acceptor != nullptr) {
    *error = "server already started";
    return false;
  }
  if (!LatencyModel::Valid(options.first_byte_ms, options.ms_per_char, error)) return false;
  std::shared_ptr<grpc::ServerCredentials> credentials;
  if (!MakeCredentials(options, &credentials, error)) return false;
  if (!options.jwt_public_key_file.empty()) {
    m_Verifier = std::make_unique<JwtVerifier>();
    if (!m_Verifier->LoadKeyFile(options.jwt_public_key_file, error)) {
      m_Verifier.reset();
      return false;
    }
  }
  m_Acceptor = std::make_unique<ConnectionAcceptor>(&m_Calls);
  if (!m_Acceptor->Listen(options.address, options.port, error)) {
    m_Acceptor.reset();
    m_Verifier.reset();
    return false;
  }

  m_Synthesizer = std::make_unique<Synthesizer>();
  m_Synthesizer->Init(&m_Warning);
  m_Latency.Set(options.first_byte_ms, options.ms_per_char);
  m_Service = std::make_unique<TtsService>(*m_Synthesizer, m_Faults, m_Latency, m_Calls,
                                           *m_Acceptor, m_Verifier.get(),
                                           options.jwt_check_audience, options.log);

  grpc::ServerBuilder builder;
  builder.RegisterService(m_Service.get());
  if (options.max_threads > 0) {
    grpc::ResourceQuota quota("vexora-tts-server");
    quota.SetMaxThreads(options.max_threads);
    builder.SetResourceQuota(quota);
  }
  // Clients that keep an idle connection alive with pings keep it: the
  // library's default would answer pings more often than every five minutes
  // without a call by closing the connection.
  builder.AddChannelArgument(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MIN_RECV_PING_INTERVAL_WITHOUT_DATA_MS, 50);
  builder.AddChannelArgument(GRPC_ARG_HTTP2_MAX_PING_STRIKES, 0);
  // Connections come from our own listening socket, so that one can be cut.
  auto handoff = builder.experimental().AddExternalConnectionAcceptor(
      grpc::ServerBuilder::experimental_type::ExternalConnectionType::FROM_FD, credentials);
  m_Server = builder.BuildAndStart();
  if (m_Server == nullptr) {
    *error = "gRPC server failed to start";
    Shutdown();
    return false;
  }
  if (!m_Acceptor->Start(std::move(handoff), error)) {
    Shutdown();
    return false;
  }
  m_Port = m_Acceptor->port();
  m_Target = m_Acceptor->target();
  return true;
}

void TtsServer::Shutdown() {
  if (m_Acceptor != nullptr) m_Acceptor->StopAccepting();
  if (m_Service != nullptr) {
    m_Service->BeginShutdown();
    m_Service->WaitIdle(kShutdownGrace);
  }
  // gRPC's own shutdown waits for connected clients to hang up, which idle
  // clients in other processes do not do: cut the connections ourselves.
  if (m_Acceptor != nullptr) m_Acceptor->CloseConnections();
  if (m_Server != nullptr) {
    m_Server->Shutdown(std::chrono::system_clock::now());
    m_Server->Wait();
    m_Server.reset();
  }
  m_Service.reset();
  m_Acceptor.reset();
  m_Synthesizer.reset();
  m_Verifier.reset();
}

}  // namespace VxTts
