#pragma once

#include <apr_file_io.h>
#include <apr_pools.h>
#include <apr_xml.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FileManager.h"
#include "Settings.h"
#include "ambrel/Logger.h"

namespace VXS {

// text made fit to sit inside a file name of a managed folder: path
// separators, control characters and the characters file systems refuse
// become '_', and at most kMaxNamePartLength bytes are kept. Used for the
// request's logging tag in waveform and record names.
std::string SanitizeNamePart(const std::string& text);
constexpr size_t kMaxNamePartLength = 128;

// The folder of synthesized waveforms: WAVE files, their cache descriptor
// files and the in-memory checksum index of cached records.
//
// Used only on the engine's event-processor thread (channels, expiration
// timers, the start-up scan). Owned by the engine; owns its records through
// the managed file store it derives from.
class WaveformManager : public FileManager {
 public:
  // The "waveform-manager" configuration element.
  struct Settings {
    Settings();
    bool Load(const apr_xml_elem* element);

    bool m_SaveWaveforms;
    bool m_PurgeExisting;
    int64_t m_MaxFileAge;  // minutes
    int64_t m_MaxFileCount;
    std::string m_WaveformFolder;
    std::string m_WaveformBaseUri;
    std::string m_FilePrefix;
    std::string m_FileExtension;
    std::string m_CacheFileExtension;
    Ambrel::LogLevel m_LogLevel;
    bool m_UseLoggingTag;
  };

  // One cached waveform. While registered only the file-entry fields, the
  // checksum, sampling rate, gender, use count and the match key (the
  // strong hash of what a lookup compares exactly, with the rate and volume
  // it compares when the request sets them) stay in memory; the rest is
  // loaded from the descriptor on demand and released again.
  class CacheEntry : public FileManager::FileEntry {
   public:
    CacheEntry(const std::string& name, int64_t time);
    ~CacheEntry() override;

    void OnRegister(FileManager* manager) override;
    void OnUnregister(FileManager* manager) override;

    bool Save(const std::string& path, apr_pool_t* pool);
    bool Load(const std::string& path, apr_pool_t* pool);
    // Reads the attributes of a whole descriptor image; false when it ends
    // inside a value.
    bool LoadAttributes(const std::string& image);
    bool LoadAttribute(const std::string& name, const std::string& value);
    void ReleaseMemory();
    // True once a descriptor read while the record is registered named
    // another checksum: the files under its name are no longer its own.
    bool IsStale() const { return m_Stale; }

    // The descriptor is composed in memory and written at once, and read
    // whole and parsed from memory: tokens are appended to or taken from
    // image at position.
    static void SaveToken(std::string& image, const std::string& token);
    static bool ReadToken(const std::string& image, size_t& position, std::string& token);
    static void SaveStringValue(std::string& image, const std::string& value) {
      SaveToken(image, value);
    }
    static void SaveUint32Value(std::string& image, unsigned value);
    static void SaveUint64Value(std::string& image, unsigned long value);
    static bool ComposeFileName(const std::string& wave_name, std::string& cache_name);

    // The 64-bit XXH3 hash of every value a lookup compares byte for byte:
    // content, language, sampling rate, voice name and gender, and the
    // prosody's pitch, contour, range and duration. Rate and volume are left
    // out: a request that sets neither accepts a record with any.
    static uint64_t ComposeMatchHash(const std::string& content, const std::string& language,
                                     unsigned sampling_rate, const std::string& voice_name,
                                     int32_t voice_gender, const ProsodyParams& prosody);
    // The match key taken when the record was registered.
    uint64_t GetMatchHash() const { return m_MatchHash; }
    const mrcp_prosody_rate_t& GetMatchRate() const { return m_MatchRate; }
    const mrcp_prosody_volume_t& GetMatchVolume() const { return m_MatchVolume; }

    uint64_t m_Checksum;
    std::string m_Language;
    uint16_t m_SamplingRate;
    std::string m_VoiceName;
    int32_t m_VoiceGender;
    ProsodyParams m_Prosody;
    std::string m_Content;

    static const std::string sm_ChecksumToken;
    static const std::string sm_LanguageToken;
    static const std::string sm_SamplingRateToken;
    static const std::string sm_VoiceNameToken;
    static const std::string sm_VoiceGenderToken;
    static const std::string sm_ProsodyRateToken;
    static const std::string sm_ProsodyVolumeToken;
    static const std::string sm_ProsodyPitchToken;
    static const std::string sm_ProsodyContourToken;
    static const std::string sm_ProsodyRangeToken;
    static const std::string sm_ProsodyDurationToken;
    static const std::string sm_UseCountToken;
    static const std::string sm_ContentToken;

   private:
    // While registered, the checksum and the use count are the keys of the
    // store's indexes: a descriptor read on demand never changes them.
    bool m_Registered = false;
    bool m_Stale = false;
    // Taken from the values at registration, the rate and volume as the
    // descriptor stores them (six significant digits), so that a lookup in
    // memory agrees with the descriptor it then reads.
    uint64_t m_MatchHash = 0;
    mrcp_prosody_rate_t m_MatchRate;
    mrcp_prosody_volume_t m_MatchVolume;
  };

  // A WAVE file being written, held by the channel.
  struct WaveFile {
    WaveFile() { Reset(); }
    void Reset() {
      m_Save = false;
      m_Name.clear();
      m_Path.clear();
      m_File = nullptr;
      m_ContentLength = 0;
    }
    bool m_Save;
    std::string m_Name;  // relative to the waveform folder
    std::string m_Path;
    apr_file_t* m_File;
    uint64_t m_ContentLength;
  };

  typedef std::multimap<uint64_t, CacheEntry*> ChecksumIndex;
  // Registered records by match hash, each key's records in the order they
  // were registered. A lookup visits only the records of its hash.
  typedef std::multimap<uint64_t, CacheEntry*> MatchIndex;

  WaveformManager(const Settings& settings, bool caching);
  ~WaveformManager() override;
  WaveformManager(const WaveformManager&) = delete;
  WaveformManager& operator=(const WaveformManager&) = delete;

  bool ComposeName(std::string& name, const std::string& channel_id, unsigned long request_id,
                   unsigned long segment_number, const std::string& logging_tag,
                   apr_pool_t* pool) const;
  bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;

  // Opens the file's name for writing with a fresh header. A record already
  // registered under that name is removed with its files first, so that the
  // store never holds two records of one file.
  bool OpenWavefile(WaveFile& file, unsigned long sampling_rate, unsigned short format,
                    apr_pool_t* pool);
  bool CloseWavefile(WaveFile& file, int64_t time);
  static bool PrepareWaveHeader(apr_file_t* file, unsigned sampling_rate, unsigned short format);
  static bool FinalizeWaveHeader(apr_file_t* file, unsigned length);

  bool LoadWaveFile(const std::string& name, std::vector<char>& audio, apr_pool_t* pool);
  // The audio bytes inside a WAVE image in memory, or null when it holds none.
  static const char* GetWaveData(const std::string& wave, unsigned& length);
  static uint64_t CalculateChecksum(const std::string& text);

  bool SaveCacheFile(CacheEntry* entry, apr_pool_t* pool);
  // False when the descriptor cannot be read or shows that the record is
  // stale (see CacheEntry::IsStale).
  bool LoadCacheFile(CacheEntry* entry, apr_pool_t* pool);

  FileEntry* CreateFileEntry(const std::string& name, int64_t time, apr_pool_t* pool) override;
  bool RemoveManagedFile(const std::string& name) override;

  bool GetSaveWaveforms() const { return m_SaveWaveforms; }
  bool GetCaching() const { return m_Caching; }
  bool GetUseLoggingTag() const { return m_UseLoggingTag; }
  const std::string& GetWaveformBaseUri() const { return m_WaveformBaseUri; }
  ChecksumIndex& GetChecksumIndex() { return m_ChecksumIndex; }
  MatchIndex& GetMatchIndex() { return m_MatchIndex; }

 private:
  Ambrel::LogFacility m_LogFacility;
  bool m_SaveWaveforms;
  std::string m_WaveformBaseUri;
  bool m_UseLoggingTag;
  bool m_Caching;
  ChecksumIndex m_ChecksumIndex;
  MatchIndex m_MatchIndex;
};

}  // namespace VXS
