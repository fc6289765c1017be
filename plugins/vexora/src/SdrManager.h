#pragma once

#include <apr_pools.h>
#include <apr_time.h>
#include <apr_xml.h>

#include <cstdint>
#include <string>

#include "SynthContent.h"
#include "ambrel/FileManager.h"
#include "ambrel/Logger.h"

namespace VXS {

// The folder of synthesis-detail records: one JSON file per SPEAK, kept
// under the age and count limits of the framework's managed file store.
//
// Used only on the engine's event-processor thread. Owned by the engine.
class SdrManager : public Ambrel::FileManager {
 public:
  // The "sdr-manager" configuration element.
  struct Settings {
    Settings();
    bool Load(const apr_xml_elem* element);

    bool m_SaveRecords;
    bool m_PurgeExisting;
    int64_t m_MaxFileAge;  // minutes
    int64_t m_MaxFileCount;
    std::string m_RecordFolder;
    std::string m_FilePrefix;
    std::string m_FileExtension;
    Ambrel::LogLevel m_LogLevel;
    bool m_UseLoggingTag;
  };

  // What one SPEAK was, how it was served, and the channel's working
  // counters for it. Lives inside its channel and is reset per SPEAK.
  struct SynthesisDetails {
    SynthesisDetails() { Reset(); }
    void Reset();
    // Writes the record file; true when the file could be opened.
    bool Save(const std::string& path) const;
    static bool GetTimestampStr(apr_time_t time, std::string& text);

    bool m_SaveRecord;
    std::string m_Name;
    int m_Version;
    uint64_t m_SamplingRate;
    std::string m_Codec;
    SpeakParams m_Params;
    SynthContent m_Content;
    CacheControl m_Control;
    apr_time_t m_StartTime;
    apr_time_t m_StreamingTime;
    apr_time_t m_CompletionTime;
    uint64_t m_DataLength;
    unsigned long m_SynthesisCount;
    unsigned long m_CallCount;
    bool m_Caching;
    int m_CompletionCause;  // 8: not set
    std::string m_LoggingTag;
    // The prompt that ended the SPEAK early, and why ("404": no such file,
    // "403": not a file of the waveform folder, "415": not a playable
    // format); its SPEAK-COMPLETE carries them.
    std::string m_FailedUri;
    std::string m_FailedUriCause;
  };

  explicit SdrManager(const Settings& settings);
  ~SdrManager() override;
  SdrManager(const SdrManager&) = delete;
  SdrManager& operator=(const SdrManager&) = delete;

  bool ComposeName(std::string& name, const std::string& channel_id, unsigned long request_id,
                   const std::string& logging_tag, apr_pool_t* pool) const;
  bool ComposePath(std::string& path, const std::string& name, apr_pool_t* pool) const;

  bool GetSaveRecords() const { return m_SaveRecords; }

 private:
  Ambrel::LogFacility m_LogFacility;
  bool m_SaveRecords;
  bool m_UseLoggingTag;
};

}  // namespace VXS
