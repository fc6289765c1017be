// The manager of the waveform folder: its settings, the names and paths of
// its files, and the cache records it indexes by checksum. The WAVE files
// are read and written in WaveFile.cpp, the records and their descriptors
// are in CacheEntry.cpp.
#include "WaveformManager.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "AprResources.h"
#include "Plugin.h"

namespace VXS {

namespace {

bool IsUnsafeNameChar(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("/\\:*?\"<>|", c) != nullptr;
}

}  // namespace

std::string SanitizeNamePart(const std::string& text) {
  std::string safe = text.substr(0, kMaxNamePartLength);
  for (char& c : safe) {
    if (IsUnsafeNameChar(static_cast<unsigned char>(c))) c = '_';
  }
  return safe;
}

// ------------------------------------------------------------------ Settings

WaveformManager::Settings::Settings()
    : m_SaveWaveforms(false),
      m_PurgeExisting(false),
      m_MaxFileAge(60),
      m_MaxFileCount(100),
      m_WaveformBaseUri("http://localhost/utterances"),
      m_FilePrefix("utter-"),
      m_FileExtension(".wav"),
      m_CacheFileExtension(".wav"),
      m_LogLevel(Ambrel::LOG_NOTICE),
      m_UseLoggingTag(false) {}

bool WaveformManager::Settings::Load(const apr_xml_elem* element) {
  for (const apr_xml_attr* attr : GetAttributes(element)) {
    const char* name = attr->name ? attr->name : "";
    const char* value = attr->value ? attr->value : "";
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Waveform Manager Attribute: %s = %s",
            name, value);
    if (strcasecmp(name, "save-waveforms") == 0) {
      LoadBooleanAttribute(attr, m_SaveWaveforms);
    } else if (strcasecmp(name, "purge-existing") == 0) {
      LoadBooleanAttribute(attr, m_PurgeExisting);
    } else if (strcasecmp(name, "use-logging-tag") == 0) {
      LoadBooleanAttribute(attr, m_UseLoggingTag);
    } else if (strcasecmp(name, "waveform-base-uri") == 0) {
      m_WaveformBaseUri = value;
    } else if (strcasecmp(name, "waveform-folder") == 0) {
      m_WaveformFolder = value;
    } else if (strcasecmp(name, "file-prefix") == 0) {
      m_FilePrefix = value;
    } else if (strcasecmp(name, "file-ext") == 0) {
      m_FileExtension = value;
    } else if (strcasecmp(name, "cache-file-ext") == 0) {
      m_CacheFileExtension = value;
    } else if (strcasecmp(name, "max-file-age") == 0) {
      m_MaxFileAge = strtol(value, nullptr, 10);
    } else if (strcasecmp(name, "max-file-count") == 0) {
      m_MaxFileCount = strtol(value, nullptr, 10);
    } else if (strcasecmp(name, "log-level") == 0) {
      if (*value) Ambrel::TranslateLogLevel(value, m_LogLevel);
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Unknown Waveform Manager Attribute <%s>",
              name);
    }
  }
  return true;
}

// ------------------------------------------------------------ the manager

// The base store only keeps a reference to the facility, which is built
// right after it.
WaveformManager::WaveformManager(const Settings& settings, bool caching)
    : FileManager(m_LogFacility),
      m_LogFacility("WVFM", settings.m_LogLevel),
      m_SaveWaveforms(settings.m_SaveWaveforms),
      m_WaveformBaseUri(settings.m_WaveformBaseUri),
      m_UseLoggingTag(settings.m_UseLoggingTag),
      m_Caching(caching) {
  SetDirectory(settings.m_WaveformFolder);
  SetFilePrefix(settings.m_FilePrefix);
  SetFileExtension(settings.m_FileExtension);
  SetMaxFileAge(settings.m_MaxFileAge);
  SetMaxFileCount(settings.m_MaxFileCount);
  SetPurgeExisting(settings.m_PurgeExisting);
}

WaveformManager::~WaveformManager() {
  // The records go while the facility that names the store still exists;
  // their files stay for the next start-up scan.
  DestroyFileEntries();
  m_ChecksumIndex.clear();
  m_MatchIndex.clear();
}

bool WaveformManager::ComposeName(std::string& name, const std::string& channel_id,
                                  unsigned long request_id, unsigned long segment_number,
                                  const std::string& logging_tag, apr_pool_t* /*pool*/) const {
  std::string composed = GetFilePrefix() + channel_id + "-" + std::to_string(request_id);
  if (segment_number >= 2) composed += "-" + std::to_string(segment_number);
  if (!logging_tag.empty() && m_UseLoggingTag) composed += "-" + SanitizeNamePart(logging_tag);
  name = composed + GetFileExtension();
  return true;
}

bool WaveformManager::ComposePath(std::string& path, const std::string& name,
                                  apr_pool_t* pool) const {
  ScratchPool scratch(pool);
  char* merged = nullptr;
  if (!scratch.Get() || apr_filepath_merge(&merged, GetDirectory().c_str(), name.c_str(),
                                           APR_FILEPATH_NATIVE, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Compose Waveform File Path for [%s]", name.c_str());
    return false;
  }
  path = merged;
  return true;
}

uint64_t WaveformManager::CalculateChecksum(const std::string& text) {
  uint64_t sum = 0;
  for (char c : text)
    sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
  return sum;
}

bool WaveformManager::SaveCacheFile(CacheEntry* entry, apr_pool_t* pool) {
  if (!entry) return false;
  std::string cache_name;
  CacheEntry::ComposeFileName(entry->m_Name, cache_name);
  std::string path;
  if (!ComposePath(path, cache_name, pool)) return false;
  return entry->Save(path, pool);
}

bool WaveformManager::LoadCacheFile(CacheEntry* entry, apr_pool_t* pool) {
  if (!entry) return false;
  std::string cache_name;
  CacheEntry::ComposeFileName(entry->m_Name, cache_name);
  std::string path;
  if (!ComposePath(path, cache_name, pool)) return false;
  if (!entry->Load(path, pool)) return false;
  if (entry->IsStale()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Stale Cache Record [%s] checksum [%lu]", entry->m_Name.c_str(),
            static_cast<unsigned long>(entry->m_Checksum));
    return false;
  }
  return true;
}

WaveformManager::FileEntry* WaveformManager::CreateFileEntry(const std::string& name, int64_t time,
                                                             apr_pool_t* pool) {
  if (!m_Caching) return FileManager::CreateFileEntry(name, time, pool);
  CacheEntry* entry = new CacheEntry(name, time);
  // A record without a readable descriptor still counts against the limits.
  LoadCacheFile(entry, pool);
  return entry;
}

bool WaveformManager::RemoveManagedFile(const std::string& name) {
  FileManager::RemoveManagedFile(name);
  std::string cache_name;
  if (CacheEntry::ComposeFileName(name, cache_name)) FileManager::RemoveManagedFile(cache_name);
  return true;
}

}  // namespace VXS
