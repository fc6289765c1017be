// Service credentials: the engine's default set and the per-key-file sets
// that channels name, each created once and shared afterwards.
#include <apr_file_io.h>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <grpcpp/security/credentials.h>

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "AprResources.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

namespace {

// The host name of the text-to-speech service; regional endpoints and
// audiences prefix it with the region and a hyphen.
const char kServiceHost[] = "texttospeech.googleapis.com";
const long kTokenLifetimeSeconds = 3600;

}  // namespace

void Engine::ComposeAudience(const std::string& region, std::string& audience) const {
  if (region.empty()) return;
  audience = "https://" + region + "-" + kServiceHost + "/";
}

bool Engine::ReadKeyFile(const std::string& path, std::string& content) {
  ScratchPool scratch(nullptr);
  AprFile file;
  if (!scratch.Get() || apr_file_open(file.Out(), path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY,
                                      APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    return false;
  }
  std::string buffer(kMaxKeyFileSize, '\0');
  apr_size_t size = 0;
  // A short read (the end of the file, a folder) keeps what it read.
  apr_file_read_full(file.Get(), &buffer[0], buffer.size(), &size);
  buffer.resize(size);
  content.swap(buffer);
  return true;
}

bool Engine::LoadCredentialsFile(const std::string& path, std::string& content) const {
  std::string buffer;
  if (!ReadKeyFile(path, buffer)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Credentials File %s",
            path.c_str());
    return false;
  }
  if (buffer.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Read Credentials File %s",
            path.c_str());
    return false;
  }
  content.swap(buffer);
  return true;
}

namespace {

// The field `name` of a JSON object, or null.
const google::protobuf::Value* FindField(const google::protobuf::Struct& object,
                                         const char* name) {
  auto it = object.fields().find(name);
  return it == object.fields().end() ? nullptr : &it->second;
}

// The library picks the subject-token source of an external account by the
// first of these fields present in "credential_source" (an object); a URL
// source cuts the URL at its third slash without checking that there is
// one, and so reads past its end on a URL without a path. Such a key is
// refused here, before the library sees it.
bool HasUsableCredentialSource(const google::protobuf::Struct& key) {
  const google::protobuf::Value* source = FindField(key, "credential_source");
  if (!source || !source->has_struct_value()) return false;
  const google::protobuf::Struct& fields = source->struct_value();
  if (FindField(fields, "environment_id") || FindField(fields, "file")) return true;
  const google::protobuf::Value* url = FindField(fields, "url");
  if (!url || !url->has_string_value()) return true;
  return std::count(url->string_value().begin(), url->string_value().end(), '/') >= 3;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix) {
  size_t length = strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// Drops `suffix` from the end of `text`; false when it is not there.
bool ConsumeSuffix(std::string& text, const char* suffix) {
  if (!EndsWith(text, suffix)) return false;
  text.resize(text.size() - strlen(suffix));
  return true;
}

// The library's default credentials take an external account only when its
// token exchange and impersonation endpoints are https URLs of the Google
// security-token or IAM-credentials services; for any other they probe for
// the metadata server instead. The same rule, on the host as written (the
// library also accepts percent-encoded hosts, which are refused here).
bool IsTokenServiceUrl(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || strcasecmp(url.substr(0, colon).c_str(), "https") != 0 ||
      url.compare(colon, 3, "://") != 0) {
    return false;
  }
  std::string authority = url.substr(colon + 3, url.find_first_of("/?#", colon + 3) - colon - 3);
  // A port is dropped only when the authority holds a single colon.
  size_t port = authority.find(':');
  std::string host = port != std::string::npos && authority.find(':', port + 1) == std::string::npos
                         ? authority.substr(0, port)
                         : authority;
  if (ConsumeSuffix(host, ".p.googleapis.com")) {
    return StartsWith(host, "sts-") || StartsWith(host, "iamcredentials-");
  }
  if (!ConsumeSuffix(host, ".googleapis.com")) return false;
  for (const char* service : {"sts", "iamcredentials"}) {
    const std::string name(service);
    if (host == name || StartsWith(host, (name + ".").c_str()) ||
        EndsWith(host, ("." + name).c_str()) || EndsWith(host, ("-" + name).c_str())) {
      return true;
    }
  }
  return false;
}

// An endpoint field of an external account: absent, or a token-service URL.
bool HasTokenServiceUrlOrNone(const google::protobuf::Struct& key, const char* name) {
  const google::protobuf::Value* url = FindField(key, name);
  return !url || (url->has_string_value() && IsTokenServiceUrl(url->string_value()));
}

}  // namespace

bool Engine::IsUsableCredentialsKey(const std::string& key) {
  // The library's default credentials fall back to the metadata-server probe
  // whenever their own readers reject the key file, so the key is put to the
  // same reader first: the one for its "type". The library reads three
  // types without the network: a service account (self-signed tokens), an
  // authorized user (a refresh token) and an external account (workload
  // identity federation: the token exchange waits for the first call; the
  // default credentials also want its endpoints on the token services).
  // Each reader logs errors for a key of another type, so only the one that
  // matches is asked and a good key leaves the log quiet.
  google::protobuf::Struct document;
  if (!google::protobuf::util::JsonStringToMessage(key, &document).ok()) return false;
  const google::protobuf::Value* type = FindField(document, "type");
  if (!type || !type->has_string_value()) return false;
  if (type->string_value() == "service_account") {
    return grpc::ServiceAccountJWTAccessCredentials(key, kTokenLifetimeSeconds) != nullptr;
  }
  if (type->string_value() == "authorized_user") {
    return grpc::GoogleRefreshTokenCredentials(key) != nullptr;
  }
  if (type->string_value() == "external_account") {
    return FindField(document, "token_url") &&
           HasTokenServiceUrlOrNone(document, "token_url") &&
           HasTokenServiceUrlOrNone(document, "service_account_impersonation_url") &&
           HasTokenServiceUrlOrNone(document, "token_info_url") &&
           HasUsableCredentialSource(document) &&
           grpc::ExternalAccountCredentials(key, {}) != nullptr;
  }
  return false;
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
