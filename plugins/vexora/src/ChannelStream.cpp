// The streamed synthesis of a text segment: one StreamingSynthesize call
// per segment, its config first and then the text in pieces, the audio
// queued as each reply arrives. The stream's operations complete on the
// engine's completion queue like the unary call's, each kind with a tag of
// its own, and are handled on the event-processor thread.
//
// At most one write and one read are in flight at a time; Finish is asked
// once reads have ended and no write is in flight, and the stream is freed
// only after Finish has completed, when no operation of it is left.
#include <fnmatch.h>
#include <google/protobuf/util/json_util.h>

#include <deque>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"
#include "SentenceSplit.h"

namespace tts = google::cloud::texttospeech::v1;

namespace VXS {

// The name of a status code as the gRPC library spells it (ChannelSynth.cpp).
const char* StatusCodeName(grpc::StatusCode code);

namespace {

// The messages a streamed text is sent in: its first sentence alone, so
// that the service can start on it while the rest is on its way, then
// whole sentences grouped as the pieces of a unary prompt are (each twice
// the one before at most), every one within the service's limit. A
// sentence too long for one message is cut at a clause. Put together they
// are the text, byte for byte: the blanks between sentences go too.
std::vector<std::string> StreamPieces(const std::string& text, const std::string& language) {
  const std::vector<size_t> units = FindPieceUnits(text, language, false);
  const PieceCost cost = [&](size_t from, size_t to) {
    return units[to - 1] - (from == 0 ? 0 : units[from - 1]);
  };
  size_t target = 0;
  std::vector<std::string> pieces;
  size_t begin = 0;
  for (size_t to : GroupPieces(units.size(), cost, target)) {
    pieces.push_back(text.substr(begin, units[to - 1] - begin));
    begin = units[to - 1];
  }
  return pieces;
}

}  // namespace

struct Channel::StreamCall {
  explicit StreamCall(Channel* channel)
      : m_StartTag(channel, "stream-start"),
        m_WriteTag(channel, "stream-write"),
        m_ReadTag(channel, "stream-read"),
        m_FinishTag(channel, "stream-finish") {}

  std::unique_ptr<grpc::ClientAsyncReaderWriter<tts::StreamingSynthesizeRequest,
                                                tts::StreamingSynthesizeResponse>>
      m_Stream;
  Tag m_StartTag;
  Tag m_WriteTag;
  Tag m_ReadTag;
  Tag m_FinishTag;
  // Still to write: the config, then the text pieces; WritesDone after them.
  std::deque<tts::StreamingSynthesizeRequest> m_Outgoing;
  tts::StreamingSynthesizeRequest m_Writing;  // the message of the write in flight
  bool m_WritesDone = false;                  // WritesDone has been asked
  bool m_ReadsEnded = false;
  bool m_Finishing = false;
  tts::StreamingSynthesizeResponse m_Response;
  grpc::Status m_Status;
  size_t m_AudioBytes = 0;
  // The whole audio, kept when it is saved or cached once the stream is done.
  bool m_KeepAudio = false;
  std::string m_Audio;
};

void Channel::StreamCallDeleter::operator()(StreamCall* call) const { delete call; }

bool Channel::StreamsSegment(const SynthSegment& segment) const {
  // The stream takes plain text only, and of the audio settings only the
  // speaking rate; pitch, volume, effects profiles and custom voices need
  // the unary call.
  if (segment.m_ContentType != SYNTH_CONTENT_TEXT || segment.m_VoiceName.empty() ||
      segment.m_Unary) {
    return false;
  }
  const SpeakParams& params = m_Details.m_Params;
  if (!params.m_Prosody.m_Pitch.empty() ||
      params.m_Prosody.m_Volume.type != PROSODY_VOLUME_TYPE_UNKNOWN ||
      !params.m_EffectsProfile.empty() || !params.m_CustomVoiceModel.empty()) {
    return false;
  }
  for (const std::string& pattern : m_Engine->GetSynthSettings().m_StreamingVoices) {
    if (fnmatch(pattern.c_str(), segment.m_VoiceName.c_str(), 0) == 0) return true;
  }
  return false;
}

bool Channel::StartStreamCall(std::unique_ptr<SynthContext> context) {
  const SynthSegment& segment = m_Details.m_Content.front();
  const tts::SynthesizeSpeechRequest& request = context->m_Request;
  std::unique_ptr<StreamCall, StreamCallDeleter> call(new StreamCall(this));

  tts::StreamingSynthesizeRequest first;
  tts::StreamingSynthesizeConfig* config = first.mutable_streaming_config();
  *config->mutable_voice() = request.voice();
  tts::StreamingAudioConfig* audio = config->mutable_streaming_audio_config();
  audio->set_audio_encoding(tts::PCM);
  audio->set_sample_rate_hertz(request.audio_config().sample_rate_hertz());
  if (request.audio_config().speaking_rate() != 0) {
    audio->set_speaking_rate(request.audio_config().speaking_rate());
  }
  call->m_Outgoing.push_back(first);
  const std::vector<std::string> pieces =
      StreamPieces(segment.m_Content, m_Details.m_Params.m_Language);
  for (const std::string& piece : pieces) {
    tts::StreamingSynthesizeRequest message;
    message.mutable_input()->set_text(piece);
    call->m_Outgoing.push_back(std::move(message));
  }
  call->m_KeepAudio = m_WaveFile.m_Save;

  std::string json;
  if (apt_log_priority_check(VXS_PLUGIN, APT_PRIO_INFO)) {
    google::protobuf::util::MessageToJsonString(first, &json);
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
          "Start Async Stream: encoding=%d, sampling-rate=%d, language=%s, pieces=%d <%s@%s>\n%s",
          static_cast<int>(tts::PCM), static_cast<int>(m_Details.m_SamplingRate),
          m_Details.m_Params.m_Language.c_str(), static_cast<int>(pieces.size()), GetId(),
          VXS_CHANNEL_MARK, json.c_str());

  Task* task = m_Engine->GetTask();
  if (task && context->m_Stub) {
    call->m_Stream =
        context->m_Stub->PrepareAsyncStreamingSynthesize(&context->m_Context, task->GetQueue());
  }
  if (!call->m_Stream) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Failed to Start Async Stream");
    return false;
  }
  call->m_StartTag.m_Pending = true;
  call->m_Stream->StartCall(&call->m_StartTag);
  m_SpeakMetrics.CallStarted();
  m_Engine->GetMetrics().CountCharacters(segment.m_Content);
  ++m_Details.m_CallCount;
  context->m_Stream = std::move(call);
  m_SynthContext = std::move(context);
  return true;
}

void Channel::WriteNextStreamMessage(StreamCall& call) {
  if (!call.m_Outgoing.empty()) {
    call.m_Writing = std::move(call.m_Outgoing.front());
    call.m_Outgoing.pop_front();
    call.m_WriteTag.m_Pending = true;
    call.m_Stream->Write(call.m_Writing, &call.m_WriteTag);
  } else if (!call.m_WritesDone) {
    call.m_WritesDone = true;
    call.m_WriteTag.m_Pending = true;
    call.m_Stream->WritesDone(&call.m_WriteTag);
  }
}

void Channel::OnStreamEvent(Tag* tag, bool ok) {
  StreamCall& call = *m_SynthContext->m_Stream;
  if (tag == &call.m_FinishTag) {
    OnStreamFinish();
    return;
  }
  if (tag == &call.m_StartTag) {
    if (ok) {
      WriteNextStreamMessage(call);
      call.m_ReadTag.m_Pending = true;
      call.m_Stream->Read(&call.m_Response, &call.m_ReadTag);
    } else {
      call.m_ReadsEnded = true;
    }
  } else if (tag == &call.m_WriteTag) {
    // A failed write means the stream is over; its reads end too.
    if (ok) WriteNextStreamMessage(call);
  } else if (tag == &call.m_ReadTag) {
    if (ok) {
      OnStreamAudio(call);
      call.m_ReadTag.m_Pending = true;
      call.m_Stream->Read(&call.m_Response, &call.m_ReadTag);
    } else {
      call.m_ReadsEnded = true;
    }
  }
  if (call.m_ReadsEnded && !call.m_Finishing && !call.m_WriteTag.m_Pending &&
      !call.m_StartTag.m_Pending) {
    call.m_Finishing = true;
    call.m_FinishTag.m_Pending = true;
    call.m_Stream->Finish(&call.m_Status, &call.m_FinishTag);
  }
}

void Channel::OnStreamAudio(StreamCall& call) {
  const std::string& audio = call.m_Response.audio_content();
  // The segment stays at the head of the queue until its stream is done.
  if (audio.empty() || m_Details.m_Content.empty()) return;
  SynthSegment& segment = m_Details.m_Content.front();
  if (call.m_AudioBytes == 0) {
    // The segment's leading marks go before its first audio, its trailing
    // ones after the last (when the stream is done).
    SegmentMarks leading;
    leading.m_Before = std::move(segment.m_Marks.m_Before);
    segment.m_Marks.m_Before.clear();
    QueueAudio(audio.data(), audio.size(), &leading);
  } else {
    QueueAudio(audio.data(), audio.size());
  }
  call.m_AudioBytes += audio.size();
  if (call.m_KeepAudio) call.m_Audio += audio;
}

void Channel::FallBackToUnaryPieces() {
  if (m_Details.m_Content.empty()) return;
  // The streamed text was one segment, however long: the unary call takes
  // it in sentence pieces, as it would have without a stream, so that a
  // text over the service's limit still plays.
  SynthContent head;
  head.push_back(std::move(m_Details.m_Content.front()));
  m_Details.m_Content.pop_front();
  if (m_Engine->GetSynthSettings().m_SentenceSplit) {
    head.CutIntoPieces(m_Details.m_Params.m_Language, SpeakPool());
  }
  // Each piece is a cache lookup of its own; only the text left whole was
  // looked up already.
  if (head.size() > 1) m_NoStream = false;
  while (!head.empty()) {
    head.back().m_Unary = true;
    m_Details.m_Content.push_front(std::move(head.back()));
    head.pop_back();
  }
}

void Channel::OnStreamFinish() {
  StreamCall& call = *m_SynthContext->m_Stream;
  const grpc::Status status = call.m_Status;
  ReportCallOutcome(status);
  if (!status.ok() && m_StopResponse) {
    // Cancelled by a STOP: the SPEAK is being stopped.
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "gRPC Stream Status: %s: %s",
                    StatusCodeName(status.error_code()), status.error_message().c_str());
    m_SynthContext.reset();
    OnCallDone(false);
    return;
  }
  if (status.ok() && call.m_AudioBytes > 0 && !m_Details.m_Content.empty()) {
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Stream Complete [%d bytes]",
                    static_cast<int>(call.m_AudioBytes));
    SegmentMarks trailing;
    trailing.m_After = std::move(m_Details.m_Content.front().m_Marks.m_After);
    m_Details.m_Content.pop_front();
    QueueAudio(nullptr, 0, &trailing);
    // Only a stream that ran to its end is saved (and cached whole).
    if (call.m_KeepAudio) {
      SaveWaveform(call.m_Audio.data(), static_cast<unsigned>(call.m_Audio.size()));
    }
    m_SynthContext.reset();
    OnCallDone(true);
    return;
  }
  if (status.ok()) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "gRPC Stream Ended Without Audio");
  } else {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "gRPC Stream Status: %s: %s",
                    StatusCodeName(status.error_code()), status.error_message().c_str());
  }
  if (call.m_AudioBytes == 0 && !m_ClosePending) {
    // Nothing was heard yet: the segment is synthesized once more, by the
    // unary call.
    VXS_CHANNEL_LOG(APT_PRIO_INFO, "Fall Back to Unary Synth");
    m_SynthContext.reset();
    m_NoStream = true;
    FallBackToUnaryPieces();
    ContinueSynthesis();
    return;
  }
  // Audio of the segment has played: it cannot be said again from its
  // start, and the SPEAK ends as after a failed later segment.
  if (!m_Details.m_Content.empty()) m_Details.m_Content.pop_front();
  ProcessSynthError();
}

}  // namespace VXS
