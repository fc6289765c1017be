// Audio output of a channel: the media read, prompt files resolved and
// played, cache hits and the cached synthesis lookup, and the waveform of a
// call saved to the store.
#include <apr_file_info.h>
#include <apr_time.h>

#include <algorithm>
#include <filesystem>
#include <memory>
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

namespace {

// The file that name, a relative path that stays lexically inside folder,
// names once every symbolic link is followed; false when that lies outside
// the folder (itself resolved) or is the folder itself. A name that does not
// resolve (no such file, a loop) stands for merged, its lexical place inside
// the folder: if that exists ("link/missing/.." is "link") it is checked in
// turn, else it is kept, as there is no file to open behind it either (the
// bare name would be opened wherever the process happens to work).
bool ResolveInsideFolder(const std::string& folder, const std::string& name,
                         const char* merged, std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path base = fs::canonical(folder.empty() ? "." : folder, error);
  fs::path file = error ? fs::path() : fs::canonical(base / name, error);
  if (error && !base.empty()) file = fs::canonical(merged, error);
  if (error) {
    path = merged;
    return true;
  }
  auto mismatch = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  if (mismatch.first != base.end() || mismatch.second == file.end()) return false;
  path = file.string();
  return true;
}

}  // namespace

bool Channel::ResolveLocalUri(const std::string& uri, std::string& path) {
  WaveformManager* manager = m_Engine->GetWaveformManager();
  if (!manager) return false;
  return ResolveLocalUri(manager->GetWaveformBaseUri(), manager->GetDirectory(), uri, path,
                         SpeakPool());
}

bool Channel::ResolveLocalUri(const std::string& base, const std::string& folder,
                              const std::string& uri, std::string& path, apr_pool_t* pool) {
  // The URI must continue the base URI with a '/' (the base may end in it):
  // "http://host/utterancesX/a.wav" is no URI under "http://host/utterances".
  if (base.empty()) return false;
  const std::string prefix = base.back() == '/' ? base : base + "/";
  if (uri.size() <= prefix.size() || uri.compare(0, prefix.size(), prefix) != 0) return false;
  std::string rest = uri.substr(prefix.size());
  // The path must name a file inside the waveform folder; a NUL byte would
  // cut it short of what the list shows.
  char* merged = nullptr;
  if (rest.empty() || rest[0] == '/' || rest.find('\0') != std::string::npos ||
      apr_filepath_merge(&merged, folder.empty() ? "." : folder.c_str(), rest.c_str(),
                         APR_FILEPATH_SECUREROOT | APR_FILEPATH_NOTABOVEROOT,
                         pool) != APR_SUCCESS) {
    return false;
  }
  // A symbolic link inside the folder may point anywhere.
  return ResolveInsideFolder(folder, rest, merged, path);
}

bool Channel::LoadPromptAudio(const SynthSegment& segment, std::vector<char>& audio) {
  std::string path = segment.m_Content;
  if (segment.m_ContentType != SYNTH_CONTENT_FILE_URI &&
      !ResolveLocalUri(segment.m_Content, path)) {
    VXS_CHANNEL_LOG(APT_PRIO_WARNING, "Only local HTTP URI supported [%s]",
                    segment.m_Content.c_str());
    m_Details.m_FailedUri = segment.m_Uri.empty() ? segment.m_Content : segment.m_Uri;
    m_Details.m_FailedUriCause = "403";
    return false;
  }
  VXS_CHANNEL_LOG(APT_PRIO_INFO, "Play File [%s]", path.c_str());
  if (ProcessFile(path, audio)) return true;
  WaveformManager* manager = m_Engine->GetWaveformManager();
  std::string full_path;
  std::error_code error;
  const bool exists = manager && manager->ComposePath(full_path, path, SpeakPool()) &&
                      std::filesystem::exists(full_path, error);
  m_Details.m_FailedUri = segment.m_Uri.empty() ? segment.m_Content : segment.m_Uri;
  m_Details.m_FailedUriCause = exists ? "415" : "404";
  return false;
}

void Channel::SaveWaveform(const char* data, unsigned length) {
  WaveformManager* manager = m_Engine->GetWaveformManager();
  if (!manager || !m_WaveFile.m_Save || !data || !length) return;
  if (!manager->OpenWavefile(m_WaveFile, static_cast<unsigned long>(m_Details.m_SamplingRate), 1,
                             SpeakPool())) {
    return;
  }
  VXS_CHANNEL_LOG(APT_PRIO_DEBUG, "Write [%d bytes]", static_cast<int>(length));
  apr_size_t written = 0;
  apr_file_write_full(m_WaveFile.m_File, data, length, &written);
  m_WaveFile.m_ContentLength += written;
  apr_time_t time = Now();
  manager->CloseWavefile(m_WaveFile, time);
  std::unique_ptr<WaveformManager::CacheEntry> entry = std::move(m_SynthContext->m_CacheEntry);
  if (entry) {
    manager->SaveCacheFile(entry.get(), SpeakPool());
    manager->AddFileEntry(entry.release());
  } else {
    // Saved only: a plain file of the store, also while the manager caches
    // other segments. Its CreateFileEntry would make a cache record of it,
    // look for a descriptor that was never written and index it under
    // checksum 0.
    manager->AddFileEntry(new WaveformManager::FileEntry(m_WaveFile.m_Name, time));
  }
}

}  // namespace VXS
