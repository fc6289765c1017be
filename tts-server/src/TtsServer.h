#pragma once

// The local speech service: the TextToSpeech gRPC API on a loopback port,
// speaking with espeak-ng or with a deterministic test voice, with scripted
// faults and call counters for tests.
//
//   VxTts::TtsServer server;
//   VxTts::TtsServerOptions options;              // 127.0.0.1, free port
//   std::string error;
//   if (!server.Start(options, &error)) ...;
//   channel = grpc::CreateChannel(server.target(), ...);
//   server.faults().FailNext(2, grpc::StatusCode::UNAVAILABLE, "busy");
//   ... server.calls().SynthesizeCalls() ...
//   server.Shutdown();                            // also done by the destructor
//
// Voices: "vx-test-tone" (any language; listed as en-US; natural rate
// 24000 Hz) answers a 440 Hz tone of exactly 20 ms per input byte (for SSML,
// per byte of the whole SSML string) at the requested rate, and ignores
// speaking_rate, pitch and volume_gain_db; it is chosen only by name. Each
// espeak-ng voice is offered as "espeak-<voice>" (male) and
// "espeak-<voice>-female", e.g. "espeak-en-us", natural rate 22050 Hz.
// Prosody on espeak-ng voices: volume_gain_db is applied exactly to the
// samples; pitch follows the semitones to within about two (espeak-ng's own
// pitch covers about -7..+9, a change of playback rate the rest);
// speaking_rate maps onto espeak-ng's speed, to within about 20% (below
// espeak-ng's slowest speed, longer pauses between words).
//
// StreamingSynthesize: the test voices and the voices of the streaming
// family ("en-US-Chirp3-HD-TestBytes", the bytes voice, and
// "en-US-Chirp3-HD-Espeak", espeak-ng's en-us) stream; the espeak-<voice>
// voices refuse a stream with INVALID_ARGUMENT. The first message must carry
// only streaming_config, every later one only input text; audio comes as
// headerless PCM (or G.711 bytes for MULAW and ALAW) at the config's rate, a
// sentence at a time (a sentence ends at '.', '!' or '?' before white space,
// or at an ideographic full stop, and keeps the white space after it; the
// text left when the client ends its side is the last sentence). Faults
// apply to a stream as to a call, taken when it opens; see
// FaultScript::BreakNextStream for a stream that fails after some audio.
//
// Latency model (off by default): a SynthesizeSpeech reply with audio comes
// first_byte_ms + ms_per_char x (Unicode characters of the input text, or of
// the whole SSML string) milliseconds after the call arrives, or later if
// synthesis or a scripted delay takes longer; the scripted delay, when set,
// adds to it. Refused calls and scripted failures answer at once. A call
// cancelled, past its deadline or caught by Shutdown while it waits ends at
// once with CANCELLED.
//
// On a stream the model holds each sentence's audio: the first sentence's
// until first_byte_ms + ms_per_char x its characters after the first text
// arrived, each later one ms_per_char x its characters after the one before
// it (or after its text arrived, when that was later).

#include <functional>
#include <memory>
#include <string>

#include "CallCounters.h"
#include "FaultScript.h"
#include "LatencyModel.h"

namespace grpc {
class Server;
}

namespace VxTts {

class ConnectionAcceptor;
class JwtVerifier;
class Synthesizer;
class TtsService;

struct TtsServerOptions {
  // Loopback only: "127.0.0.1" (or another 127/8 address), "::1" or
  // "localhost" (= 127.0.0.1). Other addresses are refused.
  std::string address = "127.0.0.1";
  int port = 0;  // 0 picks a free port; see TtsServer::port()
  // TLS: a PEM certificate chain and its PEM private key, both or neither.
  std::string tls_cert_file;
  std::string tls_key_file;
  // Bearer-token check: a PEM public key or certificate, or a
  // service-account key JSON (its public half is used). Empty = no check.
  // Calls without a valid RS256 token then answer UNAUTHENTICATED.
  std::string jwt_public_key_file;
  // Also require the token's "aud" to be "https://" + the call's authority
  // + "/" (port 443 dropped), as the real service does.
  bool jwt_check_audience = true;
  // Most server threads (one per call in progress); 0 = gRPC's default,
  // which has no limit. Beyond the limit calls answer RESOURCE_EXHAUSTED.
  int max_threads = 0;
  // The latency model at start (see above); both 0 = off. Negative values,
  // NaN or values past LatencyModel's limits are refused by Start. Change it
  // while serving through TtsServer::latency().
  long long first_byte_ms = 0;
  double ms_per_char = 0;
  // Receives one line per call ("SynthesizeSpeech voice=... bytes=...
  // status=... ms=..."), from any server thread at once. May be empty.
  std::function<void(const std::string& line)> log;
};

// Owns the gRPC server, its listening socket and threads, the voices, the
// fault script, the latency model and the counters. Start and Shutdown are
// called from one owning thread; faults(), latency(), calls(), port() and
// target() from any thread once Start has returned. It may be started again
// after Shutdown (on a new port when port 0 is asked); faults and counters
// carry over, and the latency model is set again from the options.
class TtsServer {
 public:
  TtsServer();
  ~TtsServer();  // calls Shutdown()
  TtsServer(const TtsServer&) = delete;
  TtsServer& operator=(const TtsServer&) = delete;

  // Listens and starts serving; returns once calls are accepted. False with
  // error on a bad option, an unreadable certificate or key, or a busy port.
  bool Start(const TtsServerOptions& options, std::string* error);
  // Stops accepting, ends scripted delays, cancels calls still running after
  // a short grace period and joins every thread. Idempotent.
  void Shutdown();

  // The bound port of the last successful Start (0 before).
  int port() const { return m_Port; }
  // "127.0.0.1:PORT" (or "[::1]:PORT"), ready for grpc::CreateChannel.
  const std::string& target() const { return m_Target; }
  // Non-empty when espeak-ng could not be loaded (only the test voice then).
  const std::string& warning() const { return m_Warning; }

  FaultScript& faults() { return m_Faults; }
  LatencyModel& latency() { return m_Latency; }
  CallCounters& calls() { return m_Calls; }

 private:
  FaultScript m_Faults;
  LatencyModel m_Latency;
  CallCounters m_Calls;
  std::string m_Warning;
  int m_Port = 0;        // written by Start only
  std::string m_Target;  // written by Start only
  std::unique_ptr<Synthesizer> m_Synthesizer;
  std::unique_ptr<JwtVerifier> m_Verifier;  // null when tokens are not checked
  std::unique_ptr<ConnectionAcceptor> m_Acceptor;
  std::unique_ptr<TtsService> m_Service;
  std::unique_ptr<grpc::Server> m_Server;
};

}  // namespace VxTts
