// Audio output of a channel: the media read, played files and cache hits,
// and the cached synthesis lookup.
#include <apr_time.h>

#include <vector>

#include "Channel.h"
#include "ChannelLog.h"
#include "Engine.h"
#include "PromptAudio.h"

namespace VXS {

bool Channel::Read(mpf_frame_t* frame) {
  if (!m_Streaming) return true;
  if (m_StopResponse.load()) {
    VXS_CHANNEL_LOG(APT_PRIO_NOTICE, "Stop Complete");
    // Streaming is turned off before the event can run, so that a SPEAK
    // accepted after it is never switched off by this read.
    m_Streaming = false;
    PostEvent(new ChannelStopCompleteEvent(this));
    return true;
  }
  if (m_Paused) return true;
  apr_uint32_t generation = 0;
  apr_size_t audio_bytes = 0;
  apr_uint32_t marker = 0;
  vxs_media_chunk_buffer_frame_read(m_ChunkBuffer, frame, &generation, &audio_bytes, &marker);
  m_Engine->GetMetrics().AddAudioBytes(audio_bytes);
  // Posted before the end of the speech, so that the markers read with the
  // last frame go out before SPEAK-COMPLETE.
  if (marker) PostEvent(new ChannelSpeechMarkerEvent(this, generation, marker, Now()));
  if (frame->type & MEDIA_FRAME_TYPE_EVENT) {
    m_Streaming = false;
    // The frame that holds the last bytes of audio is played, padded with
    // silence; a frame that holds nothing but the mark is not.
    frame->type = audio_bytes ? MEDIA_FRAME_TYPE_AUDIO : MEDIA_FRAME_TYPE_NONE;
    VXS_CHANNEL_LOG(APT_PRIO_NOTICE, "Speech Complete");
    PostEvent(new ChannelSpeechDoneEvent(this, generation));
  }
  return true;
}

void Channel::QueueAudio(const char* data, size_t length, const SegmentMarks* marks) {
  if (m_ChunkBuffer) {
    if (marks) QueueMarkers(marks->m_Before);
    if (length) mpf_media_chunk_buffer_audio_write(m_ChunkBuffer, const_cast<char*>(data), length);
    if (marks) QueueMarkers(marks->m_After);
    if (m_Details.m_SaveRecord) m_Details.m_DataLength += length;
  }
  // After the last segment the end-of-stream mark follows its audio; the
  // first audio of the SPEAK sends its IN-PROGRESS.
  if (m_Details.m_Content.empty()) EndOfStream();
  SendInProgress();
}

bool Channel::ProcessFile(const std::string& path, std::vector<char>& audio) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  WaveformManager* manager = m_Engine->GetWaveformManager();
  // A prompt may be in any common WAVE format: it is converted to what the
  // channel plays. Relative paths are taken from the waveform folder.
  std::string full_path;
  return manager && manager->ComposePath(full_path, path, SpeakPool()) &&
         PromptAudio::LoadFile(full_path, static_cast<unsigned>(m_Details.m_SamplingRate), audio,
                               SpeakPool());
}

bool Channel::ProcessCacheRecord(WaveformManager::CacheEntry* entry) {
  VXS_ASSERT_PROCESSOR_THREAD(m_Engine);
  if (!entry) return false;
  WaveformManager* manager = m_Engine->GetWaveformManager();
  std::vector<char> audio;
  if (!manager->LoadWaveFile(entry->m_Name, audio, SpeakPool())) {
    // A record whose audio is gone would match first on every repeat of the
    // text and shadow the record synthesized in its place: it is dropped
    // with its descriptor.
    manager->DeleteFileEntry(entry);
    return false;
  }
  SegmentMarks marks = std::move(m_Details.m_Content.front().m_Marks);
  m_Details.m_Content.pop_front();
  manager->UpdateFileEntryUsage(entry, entry->m_Usage + 1);
  QueueAudio(audio.data(), audio.size(), &marks);
  manager->SaveCacheFile(entry, SpeakPool());
  entry->ReleaseMemory();
  return true;
}

WaveformManager::CacheEntry* Channel::FindCacheRecord(const SynthSegment& segment,
                                                      const uint64_t& checksum) {
  WaveformManager* manager = m_Engine->GetWaveformManager();
  if (!manager) return nullptr;
  VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Find Cache Record checksum [%lu]",
                  static_cast<unsigned long>(checksum));
  const SpeakParams& params = m_Details.m_Params;
  const CacheControl& control = m_Details.m_Control;
  bool any_directive = control.m_MaxAge >= 0 || control.m_MaxStale >= 0 || control.m_MinFresh >= 0;
  // Only records whose match key agrees in memory are read from disk: for a
  // prompt of a template, thousands of records share the text's checksum.
  const uint64_t hash = WaveformManager::CacheEntry::ComposeMatchHash(
      segment.m_Content, params.m_Language, m_Details.m_SamplingRate, segment.m_VoiceName,
      static_cast<int32_t>(segment.m_VoiceGender), params.m_Prosody);
  // Stale records are dropped once the walk over the index is done.
  std::vector<WaveformManager::CacheEntry*> stale;
  WaveformManager::CacheEntry* found = nullptr;
  auto range = manager->GetMatchIndex().equal_range(hash);
  for (auto it = range.first; it != range.second && !found; ++it) {
    WaveformManager::CacheEntry* entry = it->second;
    if (entry->m_Checksum != checksum ||
        !params.m_Prosody.CompareRateAndVolume(entry->GetMatchRate(), entry->GetMatchVolume()) ||
        (any_directive && !CheckCacheDirectives(entry, control))) {
      continue;
    }
    if (!manager->LoadCacheFile(entry, SpeakPool())) {
      entry->ReleaseMemory();
      if (entry->IsStale()) stale.push_back(entry);
      continue;
    }
    // The descriptor read confirms what the hash stands for.
    bool match = entry->m_Language == params.m_Language &&
                 entry->m_SamplingRate == m_Details.m_SamplingRate &&
                 entry->m_VoiceName == segment.m_VoiceName &&
                 entry->m_VoiceGender == static_cast<int32_t>(segment.m_VoiceGender) &&
                 entry->m_Content == segment.m_Content && params.m_Prosody.Compare(entry->m_Prosody);
    if (match) {
      found = entry;
    } else {
      entry->ReleaseMemory();
    }
  }
  for (WaveformManager::CacheEntry* entry : stale) manager->DeleteFileEntry(entry);
  return found;
}

bool Channel::CheckCacheDirectives(WaveformManager::CacheEntry* entry,
                                   const CacheControl& control) {
  apr_time_t now = Now();
  if (control.m_MaxAge >= 0 && entry->m_Time + apr_time_from_sec(control.m_MaxAge) < now) {
    VXS_CHANNEL_LOG(APT_PRIO_DEBUG,
                    "Cache Directive Mismatch: max-age [%d sec] < cur-age [%d sec] for [%s]",
                    control.m_MaxAge, static_cast<int>(apr_time_sec(now - entry->m_Time)),
                    entry->m_Name.c_str());
    return false;
  }
  if (control.m_MinFresh >= 0 && entry->m_Timer &&
      entry->m_Expiry < now + apr_time_from_sec(control.m_MinFresh)) {
    VXS_CHANNEL_LOG(APT_PRIO_DEBUG,
                    "Cache Directive Mismatch: min-fresh [%d sec] > cur-fresh [%d sec] for [%s]",
                    control.m_MinFresh, static_cast<int>(apr_time_sec(entry->m_Expiry - now)),
                    entry->m_Name.c_str());
    return false;
  }
  return true;
}

}  // namespace VXS
