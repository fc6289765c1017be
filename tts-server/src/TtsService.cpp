#include "TtsService.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "AudioEncoding.h"
#include "CallCounters.h"
#include "ConnectionAcceptor.h"
#include "FaultScript.h"
#include "JwtVerifier.h"
#include "LatencyModel.h"
#include "RequestCheck.h"
#include "StreamingInput.h"
#include "Synthesizer.h"

namespace VxTts {
namespace tts = google::cloud::texttospeech::v1;

namespace {

constexpr std::chrono::milliseconds kCancelPoll(10);
constexpr std::chrono::milliseconds kDropSettle(1000);
// A stream's audio goes out in messages of at most this much.
constexpr int kStreamChunkMs = 500;

// grpc::StatusCode names, indexed by code.
const char* const kStatusNames[] = {
    "OK",
    "CANCELLED",
    "UNKNOWN",
    "INVALID_ARGUMENT",
    "DEADLINE_EXCEEDED",
    "NOT_FOUND",
    "ALREADY_EXISTS",
    "PERMISSION_DENIED",
    "RESOURCE_EXHAUSTED",
    "FAILED_PRECONDITION",
    "ABORTED",
    "OUT_OF_RANGE",
    "UNIMPLEMENTED",
    "INTERNAL",
    "UNAVAILABLE",
    "DATA_LOSS",
    "UNAUTHENTICATED",
};

long long ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Client-supplied text in a log line: control characters become '?' so a
// request cannot forge log lines.
std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// "status=CODE ms=N", then the error message of a failed call.
std::string Outcome(const grpc::Status& status, std::chrono::steady_clock::time_point start) {
  std::string text = std::string(" status=") + StatusCodeName(status.error_code()) +
                     " ms=" + std::to_string(ElapsedMs(start));
  if (!status.ok() && !status.error_message().empty())
    text += " error=\"" + Printable(status.error_message()) + "\"";
  return text;
}

}  // namespace

const char* StatusCodeName(grpc::StatusCode code) {
  const int i = static_cast<int>(code);
  if (i >= 0 && i < static_cast<int>(std::size(kStatusNames))) return kStatusNames[i];
  return "UNKNOWN";
}

bool ParseStatusCode(const std::string& text, grpc::StatusCode* code) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  if (!text.empty() && std::all_of(text.begin(), text.end(), is_digit)) {
    if (text.size() > 2) return false;
    const int n = std::stoi(text);
    if (n >= static_cast<int>(std::size(kStatusNames))) return false;
    *code = static_cast<grpc::StatusCode>(n);
    return true;
  }
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < std::size(kStatusNames); ++i) {
    if (upper == kStatusNames[i]) {
      *code = static_cast<grpc::StatusCode>(i);
      return true;
    }
  }
  return false;
}

TtsService::TtsService(const Synthesizer& synthesizer, FaultScript& faults,
                       const LatencyModel& latency, CallCounters& calls,
                       ConnectionAcceptor& acceptor, const JwtVerifier* verifier,
                       bool check_audience, LogFunction log)
    : m_Synthesizer(synthesizer),
      m_Faults(faults),
      m_Latency(latency),
      m_Calls(calls),
      m_Acceptor(acceptor),
      m_Verifier(verifier),
      m_CheckAudience(check_audience),
      m_Log(std::move(log)) {}

void TtsService::BeginShutdown() {
  std::lock_guard<std::mutex> lock(m_StopMutex);
  m_Stopping = true;
  m_StopCv.notify_all();
}

bool TtsService::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_StopMutex);
  return m_StopCv.wait_for(lock, timeout, [this] { return m_InFlight == 0; });
}

TtsService::InFlight::InFlight(TtsService& service) : m_Service(service) {
  std::lock_guard<std::mutex> lock(m_Service.m_StopMutex);
  ++m_Service.m_InFlight;
}

TtsService::InFlight::~InFlight() {
  std::lock_guard<std::mutex> lock(m_Service.m_StopMutex);
  if (--m_Service.m_InFlight == 0) m_Service.m_StopCv.notify_all();
}

void TtsService::Log(const std::string& line) const {
  if (m_Log) m_Log(line);
}

grpc::Status TtsService::Authorize(grpc::ServerContext* context) const {
  if (m_Verifier == nullptr) return grpc::Status::OK;
  const auto& metadata = context->client_metadata();
  auto it = metadata.find("authorization");
  if (it == metadata.end()) {
    return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "missing authorization bearer token");
  }
  std::string audience;
  if (m_CheckAudience) {
    // The client mints aud = "https://" + the channel's authority + "/", port 443 dropped.
    const grpc::string_ref authority_ref = context->ExperimentalGetAuthority();
    std::string authority(authority_ref.data(), authority_ref.size());
    const std::string kDefaultPort = ":443";
    if (authority.size() > kDefaultPort.size() &&
        authority.compare(authority.size() - kDefaultPort.size(), kDefaultPort.size(),
                          kDefaultPort) == 0) {
      authority.resize(authority.size() - kDefaultPort.size());
    }
    audience = "https://" + authority + "/";
  }
  std::string reason;
  if (!m_Verifier->Verify(std::string(it->second.data(), it->second.size()), audience, &reason)) {
    return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "invalid bearer token: " + reason);
  }
  return grpc::Status::OK;
}

bool TtsService::EndByFault(grpc::ServerContext* context, const FaultScript::Plan& plan,
                            grpc::Status* status, std::string* fault) {
  if (plan.delay.count() > 0 && !WaitDelay(context, plan.delay)) {
    *status = grpc::Status(grpc::StatusCode::CANCELLED, "call cancelled during the delay");
    *fault = " fault=delay";
    return true;
  }
  if (plan.drop) {
    *fault = " fault=drop";
    if (m_Acceptor.Drop(context->peer())) {
      // Let the transport notice, so nothing is answered on the dead stream.
      WaitDelay(context, kDropSettle);
    } else {
      context->TryCancel();  // no socket to cut: reset the stream instead
    }
    *status = grpc::Status(grpc::StatusCode::UNAVAILABLE, "connection dropped");
    return true;
  }
  if (plan.fail) {
    *status = plan.status;
    *fault = " fault=status";
    return true;
  }
  return false;
}

bool TtsService::WaitDelay(grpc::ServerContext* context, std::chrono::milliseconds delay) {
  return WaitUntil(context, std::chrono::steady_clock::now() + delay);
}

bool TtsService::WaitUntil(grpc::ServerContext* context,
                           std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(m_StopMutex);
  while (!m_Stopping) {
    if (context->IsCancelled()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return true;
    m_StopCv.wait_for(lock,
                      std::min<std::chrono::steady_clock::duration>(deadline - now, kCancelPoll));
  }
  return false;
}

grpc::Status TtsService::ListVoices(grpc::ServerContext* context,
                                    const tts::ListVoicesRequest* request,
                                    tts::ListVoicesResponse* response) {
  const InFlight in_flight(*this);
  const auto start = std::chrono::steady_clock::now();
  grpc::Status status;
  try {
    m_Calls.RecordListVoices();
    status = Authorize(context);
    if (status.ok()) {
      for (const VoiceInfo& v : m_Synthesizer.voices()) {
        const bool match = std::any_of(
            v.language_codes.begin(), v.language_codes.end(), [&](const std::string& code) {
              return Synthesizer::LanguageMatches(request->language_code(), code);
            });
        if (!match) continue;
        tts::Voice* voice = response->add_voices();
        voice->set_name(v.name);
        for (const std::string& code : v.language_codes) voice->add_language_codes(code);
        voice->set_ssml_gender(static_cast<tts::SsmlVoiceGender>(v.gender));
        voice->set_natural_sample_rate_hertz(v.natural_sample_rate);
      }
    }
  } catch (const std::exception& e) {
    status = grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  }
  Log("ListVoices language=" +
      (request->language_code().empty() ? std::string("-") : Printable(request->language_code())) +
      " voices=" + std::to_string(response->voices_size()) + Outcome(status, start));
  return status;
}

grpc::Status TtsService::SynthesizeSpeech(grpc::ServerContext* context,
                                          const tts::SynthesizeSpeechRequest* request,
                                          tts::SynthesizeSpeechResponse* response) {
  const InFlight in_flight(*this);
  const auto start = std::chrono::steady_clock::now();
  grpc::Status status;
  std::string voice_name = request->voice().name();
  std::string fault;
  std::string latency;  // " latency-ms=N" when the model held the reply
  try {
    m_Calls.RecordSynthesize(*request);
    status = Authorize(context);
    if (status.ok()) {
      const FaultScript::Plan plan = m_Faults.TakePlan();
      if (!EndByFault(context, plan, &status, &fault)) {
        AudioDamage damage;
        damage.cut_header = plan.cut_header;
        damage.extra_chunks = plan.extra_chunks;
        status = Synthesize(*request, damage, response, &voice_name);
        // A reply with audio comes no earlier than the latency model says,
        // counted from the call's arrival (the time spent synthesizing is
        // part of it) and after any scripted delay.
        const std::chrono::microseconds reply_time = m_Latency.ReplyTime(
            request->input().input_source_case() == tts::SynthesisInput::kSsml
                ? request->input().ssml()
                : request->input().text());
        if (status.ok() && reply_time.count() > 0) {
          latency = " latency-ms=" + std::to_string((reply_time.count() + 999) / 1000);
          if (!WaitUntil(context, start + plan.delay + reply_time)) {
            status = grpc::Status(grpc::StatusCode::CANCELLED,
                                  "call cancelled before its reply was due");
          }
        }
        if (status.ok() && plan.empty_audio) {
          response->clear_audio_content();
          fault = " fault=empty-audio";
        } else if (status.ok() && (plan.cut_header || plan.extra_chunks)) {
          fault = plan.cut_header ? " fault=cut-header" : " fault=extra-chunks";
        }
      }
    }
  } catch (const std::exception& e) {
    status = grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  }
  if (!status.ok()) response->clear_audio_content();
  Log("SynthesizeSpeech voice=" + (voice_name.empty() ? std::string("-") : Printable(voice_name)) +
      " bytes=" + std::to_string(response->audio_content().size()) + Outcome(status, start) +
      fault + latency);
  return status;
}

grpc::Status TtsService::Synthesize(const tts::SynthesizeSpeechRequest& request,
                                    const AudioDamage& damage,
                                    tts::SynthesizeSpeechResponse* response,
                                    std::string* voice_name) {
  CheckedRequest checked;
  std::string error;
  if (!CheckSynthesizeRequest(request, m_Synthesizer, &checked, &error)) {
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, error);
  }
  *voice_name = checked.voice->name;
  std::vector<int16_t> pcm;
  if (!m_Synthesizer.Synthesize(*checked.voice, checked.input, checked.ssml, checked.prosody,
                                checked.sample_rate, &pcm, &error)) {
    return grpc::Status(grpc::StatusCode::INTERNAL, error);
  }
  *response->mutable_audio_content() =
      EncodeAudio(pcm, checked.sample_rate, checked.layout, damage);
  return grpc::Status::OK;
}

grpc::Status TtsService::StreamingSynthesize(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<tts::StreamingSynthesizeResponse, tts::StreamingSynthesizeRequest>*
        stream) {
  const InFlight in_flight(*this);
  const auto start = std::chrono::steady_clock::now();
  grpc::Status status;
  std::vector<tts::StreamingSynthesizeRequest> received;
  StreamTally tally;
  std::string fault;
  try {
    m_Calls.RecordStreamStart();
    status = Authorize(context);
    if (status.ok()) {
      const FaultScript::Plan plan = m_Faults.TakePlan(true);
      if (!EndByFault(context, plan, &status, &fault)) {
        status = RunStream(context, stream, plan, &received, &tally);
        if (plan.empty_audio) fault = " fault=empty-audio";
        if (plan.break_after >= 0) fault = " fault=break";
      }
    }
  } catch (const std::exception& e) {
    status = grpc::Status(grpc::StatusCode::INTERNAL, e.what());
  }
  tally.messages = received.size();
  m_Calls.RecordStream(std::move(received));
  Log("StreamingSynthesize voice=" +
      (tally.voice_name.empty() ? std::string("-") : Printable(tally.voice_name)) +
      " messages=" + std::to_string(tally.messages) + " chunks=" + std::to_string(tally.chunks) +
      " bytes=" + std::to_string(tally.bytes) + Outcome(status, start) + fault);
  return status;
}

grpc::Status TtsService::RunStream(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<tts::StreamingSynthesizeResponse, tts::StreamingSynthesizeRequest>*
        stream,
    const FaultScript::Plan& plan, std::vector<tts::StreamingSynthesizeRequest>* received,
    StreamTally* tally) {
  using Clock = std::chrono::steady_clock;
  tts::StreamingSynthesizeRequest message;
  if (!stream->Read(&message)) {
    if (context->IsCancelled()) return grpc::Status(grpc::StatusCode::CANCELLED, "call cancelled");
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                        "the stream ended before its streaming_config");
  }
  received->push_back(message);
  if (message.streaming_request_case() != tts::StreamingSynthesizeRequest::kStreamingConfig) {
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                        "the first message of a stream must carry streaming_config only");
  }
  CheckedStream checked;
  std::string error;
  if (!CheckStreamingConfig(message.streaming_config(), m_Synthesizer, &checked, &error)) {
    return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, error);
  }
  tally->voice_name = checked.voice->name;

  // A sentence is done its time per character after the one before it was
  // done (or after its text came, when that was later); the first is also
  // held for the time to the first byte, counted from the first text.
  const std::chrono::microseconds first_byte = m_Latency.ReplyTime(std::string());
  SentenceCutter cutter;
  bool have_text = false;
  Clock::time_point done;
  int chunks_left = plan.break_after;  // -1: no scripted break
  const size_t chunk_samples = static_cast<size_t>(checked.sample_rate) * kStreamChunkMs / 1000;
  const auto speak = [&](const std::string& sentence, Clock::time_point arrival) -> grpc::Status {
    std::vector<int16_t> pcm;
    std::string synth_error;
    if (!m_Synthesizer.Synthesize(*checked.voice, sentence, false, checked.prosody,
                                  checked.sample_rate, &pcm, &synth_error)) {
      return grpc::Status(grpc::StatusCode::INTERNAL, synth_error);
    }
    done = std::max(done, arrival) + (m_Latency.ReplyTime(sentence) - first_byte);
    if (!WaitUntil(context, done)) {
      return grpc::Status(grpc::StatusCode::CANCELLED, "call cancelled before its audio was due");
    }
    if (plan.empty_audio) return grpc::Status::OK;
    for (size_t at = 0; at < pcm.size(); at += chunk_samples) {
      if (chunks_left == 0) return plan.break_status;
      if (chunks_left > 0) --chunks_left;
      const size_t end = std::min(pcm.size(), at + chunk_samples);
      const std::vector<int16_t> part(pcm.begin() + static_cast<long>(at),
                                      pcm.begin() + static_cast<long>(end));
      tts::StreamingSynthesizeResponse response;
      *response.mutable_audio_content() = EncodeStreamAudio(part, checked.encoding);
      if (!stream->Write(response)) {
        return grpc::Status(grpc::StatusCode::CANCELLED, "the client went away");
      }
      ++tally->chunks;
      tally->bytes += response.audio_content().size();
    }
    return grpc::Status::OK;
  };

  while (stream->Read(&message)) {
    const Clock::time_point arrival = Clock::now();
    received->push_back(message);
    switch (message.streaming_request_case()) {
      case tts::StreamingSynthesizeRequest::kStreamingConfig:
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                            "streaming_config may only be sent in the first message");
      case tts::StreamingSynthesizeRequest::kInput:
        break;
      default:
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                            "every message after the first must carry input");
    }
    const tts::StreamingSynthesisInput& input = message.input();
    if (input.input_source_case() == tts::StreamingSynthesisInput::INPUT_SOURCE_NOT_SET) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "input has no text");
    }
    if (input.input_source_case() != tts::StreamingSynthesisInput::kText) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                          "input.markup and input.multi_speaker_markup are not supported by "
                          "these voices");
    }
    if (input.text().size() > kMaxInputBytes) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                          "input is " + std::to_string(input.text().size()) +
                              " bytes, longer than the " + std::to_string(kMaxInputBytes) +
                              "-byte limit");
    }
    if (input.text().empty()) continue;
    if (!have_text) {
      have_text = true;
      done = arrival + first_byte;
    }
    cutter.Add(input.text());
    std::string sentence;
    while (cutter.Next(&sentence)) {
      const grpc::Status status = speak(sentence, arrival);
      if (!status.ok()) return status;
    }
  }
  if (context->IsCancelled()) return grpc::Status(grpc::StatusCode::CANCELLED, "call cancelled");
  const std::string rest = cutter.Rest();
  if (!rest.empty()) {
    const grpc::Status status = speak(rest, Clock::now());
    if (!status.ok()) return status;
  }
  if (chunks_left >= 0) return plan.break_status;
  return grpc::Status::OK;
}

}  // namespace VxTts
