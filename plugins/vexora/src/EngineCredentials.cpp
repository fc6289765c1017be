// Service credentials: the engine's default set and the per-key-file sets
// that channels name, each created once and shared afterwards.
#include <apr_file_io.h>

#include <grpcpp/security/credentials.h>

#include "Engine.h"
#include "Plugin.h"

namespace VXS {

namespace {

// The host name of the text-to-speech service; regional endpoints and
// audiences prefix it with the region and a hyphen.
const char kServiceHost[] = "texttospeech.googleapis.com";
const long kTokenLifetimeSeconds = 3600;
const apr_size_t kMaxKeyFileSize = 4096;

}  // namespace

void Engine::ComposeAudience(const std::string& region, std::string& audience) const {
  if (region.empty()) return;
  audience = "https://" + region + "-" + kServiceHost + "/";
}

bool Engine::LoadCredentialsFile(const std::string& path, std::string& content) const {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return false;
  apr_file_t* file = nullptr;
  if (apr_file_open(&file, path.c_str(), APR_FOPEN_READ, APR_OS_DEFAULT, pool) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Credentials File %s",
            path.c_str());
    apr_pool_destroy(pool);
    return false;
  }
  std::string buffer(kMaxKeyFileSize, '\0');
  apr_size_t size = kMaxKeyFileSize;
  apr_file_read(file, &buffer[0], &size);
  apr_file_close(file);
  apr_pool_destroy(pool);
  if (size == 0) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Credentials File %s",
            path.c_str());
    return false;
  }
  buffer.resize(size);
  content.swap(buffer);
  return true;
}

bool Engine::IsUsableCredentialsKey(const std::string& key) {
  // The library's default credentials fall back to the metadata-server probe
  // whenever their own parser rejects the key file, so the key is put through
  // the same parsers first: a service-account key (type, private key and its
  // id, client e-mail and id) or an authorized user (client id and secret,
  // refresh token). Neither parser touches the network.
  return grpc::ServiceAccountJWTAccessCredentials(key, kTokenLifetimeSeconds) != nullptr ||
         grpc::GoogleRefreshTokenCredentials(key) != nullptr;
}

Engine::Credentials Engine::CreateCredentials(const std::string& path, const std::string& region) {
  std::string key;
  if (!LoadCredentialsFile(path, key)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Load Google Credentials File");
    return Credentials();
  }
  // The library's JWT credentials take the audience from the channel's
  // authority, which for a regional endpoint is the composed audience.
  std::string audience;
  ComposeAudience(region, audience);
  std::shared_ptr<grpc::CallCredentials> call_credentials =
      grpc::ServiceAccountJWTAccessCredentials(key, kTokenLifetimeSeconds);
  if (!call_credentials) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Call Credentials");
    return Credentials();
  }
  Credentials credentials = grpc::CompositeChannelCredentials(
      grpc::SslCredentials(grpc::SslCredentialsOptions()), call_credentials);
  if (!credentials) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Google Credentials");
    return Credentials();
  }
  m_CredentialsMap.emplace(path, credentials);
  return credentials;
}

Engine::Credentials Engine::FindCredentials(const std::string& path) const {
  auto it = m_CredentialsMap.find(path);
  return it == m_CredentialsMap.end() ? Credentials() : it->second;
}

bool Engine::GetCredentialsFilePath(std::string& path, const std::string& name,
                                    apr_pool_t* pool) const {
  const char* data_dir =
      m_HostEngine ? apt_dir_layout_path_get(m_HostEngine->dir_layout, APT_LAYOUT_DATA_DIR) : nullptr;
  if (!data_dir) return false;
  path = name;
  return CheckFilePath(path, data_dir, pool);
}

}  // namespace VXS
