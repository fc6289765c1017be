#include "JwtVerifier.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <strings.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>

#include "JsonFields.h"

namespace VxTts {
namespace {

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char buf[256];
  ERR_error_string_n(code, buf, sizeof(buf));
  return buf;
}

int64_t SystemNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Reads the first PEM object in text as a public key, in whichever form.
EVP_PKEY* ReadPemKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  EVP_PKEY* key = nullptr;
  if (pem.find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (cert != nullptr) {
      key = X509_get_pubkey(cert);
      X509_free(cert);
    }
  } else if (pem.find("PRIVATE KEY-----") != std::string::npos) {
    // Never prompt for a passphrase: an encrypted key simply fails.
    static char kEmpty[] = "";
    key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, kEmpty);
  } else {
    key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  }
  BIO_free(bio);
  return key;
}

bool VerifyRs256(EVP_PKEY* key, const std::string& signed_part, const std::string& signature) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  bool ok =
      EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(signed_part.data()),
                       signed_part.size()) == 1;
  EVP_MD_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

}  // namespace

std::string Base64UrlEncode(const std::string& data) {
  std::string out;
  if (!data.empty()) {
    std::vector<unsigned char> buf(4 * ((data.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(data.data()),
                                  static_cast<int>(data.size()));
    out.assign(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
  }
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+')
      c = '-';
    else if (c == '/')
      c = '_';
  }
  return out;
}

bool Base64UrlDecode(const std::string& text, std::string* data) {
  data->clear();
  // JWS omits the padding, but some encoders (gRPC's among them) keep it.
  std::string std_text = text;
  if (std_text.size() % 4 == 0) {
    for (int i = 0; i < 2 && !std_text.empty() && std_text.back() == '='; ++i) std_text.pop_back();
  }
  if (std_text.size() % 4 == 1) return false;
  for (char& c : std_text) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
    if (c == '-')
      c = '+';
    else if (c == '_')
      c = '/';
  }
  const size_t pad = (4 - std_text.size() % 4) % 4;
  std_text.append(pad, '=');
  if (std_text.empty()) return true;
  std::vector<unsigned char> buf(std_text.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(std_text.data()),
                                static_cast<int>(std_text.size()));
  if (n < 0 || static_cast<size_t>(n) < pad) return false;
  data->assign(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n) - pad);
  return true;
}

JwtVerifier::JwtVerifier() : m_Now(SystemNow) {}

JwtVerifier::~JwtVerifier() { EVP_PKEY_free(m_Key); }

bool JwtVerifier::LoadKeyFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read key file " + path;
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (!LoadKey(content.str(), error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool JwtVerifier::LoadKey(const std::string& content, std::string* error) {
  std::string pem = content;
  const size_t first = content.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && content[first] == '{') {
    JsonFields json;
    if (!json.Parse(content)) {
      *error = "key file is neither PEM nor valid JSON";
      return false;
    }
    if (!json.GetString("private_key", &pem)) {
      *error = "service-account key has no \"private_key\"";
      return false;
    }
  }
  EVP_PKEY* key = ReadPemKey(pem);
  if (key == nullptr) {
    *error = "no usable PEM key (" + OpenSslError() + ")";
    return false;
  }
  if (EVP_PKEY_base_id(key) != EVP_PKEY_RSA) {
    EVP_PKEY_free(key);
    *error = "key is not an RSA key";
    return false;
  }
  EVP_PKEY_free(m_Key);
  m_Key = key;
  return true;
}

bool JwtVerifier::Verify(const std::string& authorization, const std::string& expected_audience,
                         std::string* reason) const {
  if (m_Key == nullptr) {
    *reason = "no verification key configured";
    return false;
  }
  static const char kBearer[] = "bearer ";
  const size_t prefix = sizeof(kBearer) - 1;
  if (authorization.size() <= prefix || strncasecmp(authorization.c_str(), kBearer, prefix) != 0) {
    *reason = "authorization is not a bearer token";
    return false;
  }
  const std::string token = authorization.substr(prefix);
  const size_t dot1 = token.find('.');
  const size_t dot2 = dot1 == std::string::npos ? dot1 : token.find('.', dot1 + 1);
  if (dot2 == std::string::npos || token.find('.', dot2 + 1) != std::string::npos) {
    *reason = "token is not a JWS compact serialization";
    return false;
  }
  std::string header_json, claims_json, signature;
  if (!Base64UrlDecode(token.substr(0, dot1), &header_json) ||
      !Base64UrlDecode(token.substr(dot1 + 1, dot2 - dot1 - 1), &claims_json) ||
      !Base64UrlDecode(token.substr(dot2 + 1), &signature)) {
    *reason = "token is not valid base64url";
    return false;
  }
  JsonFields header, claims;
  if (!header.Parse(header_json) || !claims.Parse(claims_json)) {
    *reason = "token header or claims are not a JSON object";
    return false;
  }
  std::string alg;
  if (!header.GetString("alg", &alg) || alg != "RS256") {
    *reason = "token algorithm is not RS256";
    return false;
  }
  if (!VerifyRs256(m_Key, token.substr(0, dot2), signature)) {
    *reason = "token signature does not verify";
    return false;
  }
  long long exp = 0, iat = 0;
  if (!claims.GetInt("exp", &exp) || !claims.GetInt("iat", &iat)) {
    *reason = "token lacks exp or iat";
    return false;
  }
  const int64_t now = m_Now();
  if (exp <= now) {
    *reason = "token expired";
    return false;
  }
  if (iat > now + kClockSkewSeconds || exp <= iat) {
    *reason = "token issued in the future or exp before iat";
    return false;
  }
  if (exp - iat > kMaxLifetimeSeconds) {
    *reason = "token lifetime over one hour";
    return false;
  }
  if (!expected_audience.empty()) {
    std::string aud;
    if (!claims.GetString("aud", &aud) || aud != expected_audience) {
      *reason = "token audience is not " + expected_audience;
      return false;
    }
  }
  return true;
}

}  // namespace VxTts
