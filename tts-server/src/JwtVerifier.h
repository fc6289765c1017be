#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;

namespace VxTts {

// Checks the bearer token a service-account client sends: an RS256 JWT
// whose signature verifies against one RSA public key, not expired, issued
// at a sane time, at most one hour long, and (when asked) minted for this
// service's audience. Load the key once, before serving; after that Verify
// is const and safe to call from any number of threads.
class JwtVerifier {
 public:
  // Longest token lifetime accepted (the client side never mints longer).
  static constexpr int64_t kMaxLifetimeSeconds = 3600;
  // Allowed clock difference between client and server.
  static constexpr int64_t kClockSkewSeconds = 60;

  JwtVerifier();
  ~JwtVerifier();
  JwtVerifier(const JwtVerifier&) = delete;
  JwtVerifier& operator=(const JwtVerifier&) = delete;

  // Reads the key from a file; see LoadKey for the accepted forms.
  bool LoadKeyFile(const std::string& path, std::string* error);
  // Accepts a PEM public key, a PEM certificate, a PEM private key (its
  // public half is used), or a service-account key JSON whose "private_key"
  // holds a PEM private key. Only RSA keys are accepted.
  bool LoadKey(const std::string& content, std::string* error);
  bool HasKey() const { return m_Key != nullptr; }

  // Checks the value of an "authorization" header ("Bearer <jwt>").
  // expected_audience empty = the "aud" claim is not checked. Returns false
  // with a short reason on any failure.
  bool Verify(const std::string& authorization, const std::string& expected_audience,
              std::string* reason) const;

  // Replaces the clock (seconds since the epoch); for tests.
  void SetClock(std::function<int64_t()> now) { m_Now = std::move(now); }

 private:
  EVP_PKEY* m_Key = nullptr;  // owned
  std::function<int64_t()> m_Now;
};

// base64url, as JWTs use it. Encode writes no padding; Decode accepts input
// with or without it and returns false on characters outside the alphabet
// or an impossible length.
std::string Base64UrlEncode(const std::string& data);
bool Base64UrlDecode(const std::string& text, std::string* data);

}  // namespace VxTts
