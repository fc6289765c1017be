#include "WaveformManager.h"

#include <apr_file_info.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Plugin.h"

namespace VXS {

namespace {

const size_t kWaveHeaderSize = 44;
const size_t kTokenCountSize = 4;
const char kCacheFileExtension[] = ".cache";

// A pool of its own for one call's short-lived allocations (paths, file
// handles), so that repeated calls do not grow the caller's pool.
class ScratchPool {
 public:
  explicit ScratchPool(apr_pool_t* parent) {
    if (apr_pool_create(&m_Pool, parent) != APR_SUCCESS) m_Pool = nullptr;
  }
  ~ScratchPool() {
    if (m_Pool) apr_pool_destroy(m_Pool);
  }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  apr_pool_t* Get() const { return m_Pool; }

 private:
  apr_pool_t* m_Pool = nullptr;
};

void PutUint16(unsigned char* out, unsigned value) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

void PutUint32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetUint32(const unsigned char* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

bool WriteUint32At(apr_file_t* file, apr_off_t offset, uint32_t value) {
  if (apr_file_seek(file, APR_SET, &offset) != APR_SUCCESS) return false;
  unsigned char bytes[4];
  PutUint32(bytes, value);
  return apr_file_write_full(file, bytes, sizeof(bytes), nullptr) == APR_SUCCESS;
}

// Where the audio of a RIFF WAVE image of `size` bytes starts and how many
// bytes its header claims. read(offset, buffer, count) fetches bytes of the
// image. The canonical 44-byte header has "data" at offset 36; otherwise the
// chunks after "WAVE" are walked to the "data" chunk. False when no chunk
// header can be read or no "data" chunk exists.
template <class Reader>
bool LocateWaveData(const Reader& read, uint64_t size, uint64_t& offset, uint64_t& claimed) {
  unsigned char chunk[8];
  if (size < kWaveHeaderSize || !read(36, chunk, sizeof(chunk))) return false;
  if (memcmp(chunk, "data", 4) == 0) {
    offset = kWaveHeaderSize;
    claimed = GetUint32(chunk + 4);
    return true;
  }
  for (uint64_t pos = 12; pos + sizeof(chunk) <= size;) {
    if (!read(pos, chunk, sizeof(chunk))) return false;
    const uint64_t length = GetUint32(chunk + 4);
    if (memcmp(chunk, "data", 4) == 0) {
      offset = pos + sizeof(chunk);
      claimed = length;
      return true;
    }
    pos += sizeof(chunk) + length + (length & 1);  // chunks are padded to even sizes
  }
  return false;
}

template <class T>
T ParseNumber(std::istream& in) {
  T number{};
  if (!(in >> number)) return T{};
  return number;
}

template <class T>
T ParseNumber(const std::string& text) {
  std::istringstream in(text);
  return ParseNumber<T>(in);
}

// The number as the descriptor writes prosody values: the stream's default
// formatting of a double (six significant digits).
std::string FormatNumber(float value) {
  std::ostringstream out;
  out << static_cast<double>(value);
  return out.str();
}

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

// ------------------------------------------------------------- WAVE files

bool WaveformManager::OpenWavefile(WaveFile& file, unsigned long sampling_rate,
                                   unsigned short format, apr_pool_t* pool) {
  std::string path;
  if (!ComposePath(path, file.m_Name, pool)) return false;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO,
          "Open Waveform File for Writing %s, sampling-rate [%d]", path.c_str(),
          static_cast<int>(sampling_rate));
  // The record that held this name last (a request id a client reused, a
  // folder written before with caching off) would otherwise stay indexed
  // under files that no longer hold its audio.
  while (RemoveFileEntry(file.m_Name)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Removed file %s [replaced]",
            file.m_Name.c_str());
  }
  // A new file holds no audio yet, whatever the record says.
  file.m_ContentLength = 0;
  file.m_File = nullptr;
  const apr_int32_t flags =
      APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY;
  if (!pool ||
      apr_file_open(&file.m_File, path.c_str(), flags, APR_OS_DEFAULT, pool) != APR_SUCCESS) {
    file.m_File = nullptr;
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Writing %s",
            path.c_str());
    return false;
  }
  PrepareWaveHeader(file.m_File, static_cast<unsigned>(sampling_rate), format);
  return true;
}

bool WaveformManager::CloseWavefile(WaveFile& file, int64_t /*time*/) {
  if (!file.m_File) return false;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Close Waveform File %s, content-length [%d]",
          file.m_Name.c_str(), static_cast<int>(file.m_ContentLength));
  FinalizeWaveHeader(file.m_File, static_cast<unsigned>(file.m_ContentLength & 0xFFFFFFFFu));
  apr_file_close(file.m_File);
  file.m_File = nullptr;
  return true;
}

bool WaveformManager::PrepareWaveHeader(apr_file_t* file, unsigned sampling_rate,
                                        unsigned short format) {
  if (!file) return false;
  // A-law and mu-law carry one byte per sample, everything else two.
  const bool companded = format == 6 || format == 7;
  unsigned char header[kWaveHeaderSize];
  memcpy(header, "RIFF", 4);
  PutUint32(header + 4, 0);
  memcpy(header + 8, "WAVEfmt ", 8);
  PutUint32(header + 16, 16);
  PutUint16(header + 20, format);
  PutUint16(header + 22, 1);
  PutUint32(header + 24, sampling_rate);
  PutUint32(header + 28, companded ? sampling_rate : sampling_rate * 2);
  PutUint16(header + 32, companded ? 1 : 2);
  PutUint16(header + 34, companded ? 8 : 16);
  memcpy(header + 36, "data", 4);
  PutUint32(header + 40, 0);
  return apr_file_write_full(file, header, sizeof(header), nullptr) == APR_SUCCESS;
}

bool WaveformManager::FinalizeWaveHeader(apr_file_t* file, unsigned length) {
  if (!file) return false;
  if (!WriteUint32At(file, 40, length)) return false;
  return WriteUint32At(file, 4, length + 36);
}

bool WaveformManager::LoadWaveFile(const std::string& name, std::vector<char>& audio,
                                   apr_pool_t* pool) {
  std::string path;
  if (!ComposePath(path, name, pool)) return false;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Open Waveform File for Reading %s",
          path.c_str());
  ScratchPool scratch(pool);
  apr_file_t* file = nullptr;
  if (!scratch.Get() || apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY,
                                      APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Reading %s",
            path.c_str());
    return false;
  }
  apr_finfo_t info;
  if (apr_file_info_get(&info, APR_FINFO_SIZE, file) != APR_SUCCESS) {
    apr_file_close(file);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(info.size);
  auto read = [file](uint64_t offset, unsigned char* buffer, size_t count) {
    apr_off_t position = static_cast<apr_off_t>(offset);
    return apr_file_seek(file, APR_SET, &position) == APR_SUCCESS &&
           apr_file_read_full(file, buffer, count, nullptr) == APR_SUCCESS;
  };
  uint64_t offset = 0;
  uint64_t claimed = 0;
  if (!LocateWaveData(read, size, offset, claimed)) {
    // Shorter than a header: nothing to say. Otherwise no audio chunk.
    if (size >= kWaveHeaderSize) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
              "Failed to Read Waveform Data %s length [%d]", path.c_str(), 0);
    }
    apr_file_close(file);
    return false;
  }
  // A header claiming more than the file holds yields what it holds.
  const size_t length = static_cast<size_t>(std::min(claimed, size - std::min(offset, size)));
  audio.resize(length);
  apr_size_t bytes_read = 0;
  apr_off_t position = static_cast<apr_off_t>(offset);
  apr_status_t status = apr_file_seek(file, APR_SET, &position);
  if (status == APR_SUCCESS && length > 0) {
    status = apr_file_read_full(file, audio.data(), length, &bytes_read);
  }
  if (status != APR_SUCCESS && status != APR_EOF) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Read Waveform Data %s length [%d]", path.c_str(),
            static_cast<int>(bytes_read));
    apr_file_close(file);
    return false;
  }
  apr_file_close(file);
  return true;
}

const char* WaveformManager::GetWaveData(const std::string& wave, unsigned& length) {
  if (wave.size() <= kWaveHeaderSize) return nullptr;
  auto read = [&wave](uint64_t offset, unsigned char* buffer, size_t count) {
    if (offset > wave.size() || count > wave.size() - offset) return false;
    memcpy(buffer, wave.data() + offset, count);
    return true;
  };
  uint64_t offset = 0;
  uint64_t claimed = 0;
  if (!LocateWaveData(read, wave.size(), offset, claimed)) return nullptr;
  if (offset >= wave.size()) return nullptr;
  length = static_cast<unsigned>(std::min<uint64_t>(claimed, wave.size() - offset));
  return wave.data() + offset;
}

uint64_t WaveformManager::CalculateChecksum(const std::string& text) {
  uint64_t sum = 0;
  for (char c : text)
    sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(c)));
  return sum;
}

// --------------------------------------------------------- cache records

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

// ------------------------------------------------------------ CacheEntry

const std::string WaveformManager::CacheEntry::sm_ChecksumToken = "checksum";
const std::string WaveformManager::CacheEntry::sm_LanguageToken = "language";
const std::string WaveformManager::CacheEntry::sm_SamplingRateToken = "sampling-rate";
const std::string WaveformManager::CacheEntry::sm_VoiceNameToken = "voice-name";
const std::string WaveformManager::CacheEntry::sm_VoiceGenderToken = "voice-gender";
const std::string WaveformManager::CacheEntry::sm_ProsodyRateToken = "prosody-rate";
const std::string WaveformManager::CacheEntry::sm_ProsodyVolumeToken = "prosody-volume";
const std::string WaveformManager::CacheEntry::sm_ProsodyPitchToken = "prosody-pitch";
const std::string WaveformManager::CacheEntry::sm_ProsodyContourToken = "prosody-contour";
const std::string WaveformManager::CacheEntry::sm_ProsodyRangeToken = "prosody-range";
const std::string WaveformManager::CacheEntry::sm_ProsodyDurationToken = "prosody-duration";
const std::string WaveformManager::CacheEntry::sm_UseCountToken = "use-count";
const std::string WaveformManager::CacheEntry::sm_ContentToken = "content";

WaveformManager::CacheEntry::CacheEntry(const std::string& name, int64_t time)
    : FileEntry(name, time),
      m_Checksum(0),
      m_SamplingRate(0),
      m_VoiceGender(VOICE_GENDER_UNKNOWN) {}

WaveformManager::CacheEntry::~CacheEntry() = default;

void WaveformManager::CacheEntry::OnRegister(FileManager* manager) {
  WaveformManager* owner = dynamic_cast<WaveformManager*>(manager);
  if (!owner) return;
  ChecksumIndex& index = owner->GetChecksumIndex();
  index.emplace(m_Checksum, this);
  m_Registered = true;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
          "Added Cache Record [%s] checksum [%lu] total count [%d]", m_Name.c_str(),
          static_cast<unsigned long>(m_Checksum), static_cast<int>(index.size()));
  ReleaseMemory();
}

void WaveformManager::CacheEntry::OnUnregister(FileManager* manager) {
  WaveformManager* owner = dynamic_cast<WaveformManager*>(manager);
  if (!owner) return;
  ChecksumIndex& index = owner->GetChecksumIndex();
  auto range = index.equal_range(m_Checksum);
  for (auto pos = range.first; pos != range.second; ++pos) {
    if (pos->second != this) continue;
    index.erase(pos);
    m_Registered = false;
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
            "Removed Cache Record [%s] checksum [%lu] total count [%d]", m_Name.c_str(),
            static_cast<unsigned long>(m_Checksum), static_cast<int>(index.size()));
    return;
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
          "No Cache Record Found checksum [%lu] total count [%d]",
          static_cast<unsigned long>(m_Checksum), static_cast<int>(index.size()));
}

bool WaveformManager::CacheEntry::Save(const std::string& path, apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Save Cache File %s", path.c_str());
  ScratchPool scratch(pool);
  apr_file_t* file = nullptr;
  const apr_int32_t flags =
      APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY;
  if (!scratch.Get() ||
      apr_file_open(&file, path.c_str(), flags, APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Writing %s",
            path.c_str());
    return false;
  }
  SaveToken(file, sm_ChecksumToken);
  SaveUint64Value(file, static_cast<unsigned long>(m_Checksum));
  if (!m_Language.empty()) {
    SaveToken(file, sm_LanguageToken);
    SaveStringValue(file, m_Language);
  }
  if (m_SamplingRate != 0) {
    SaveToken(file, sm_SamplingRateToken);
    SaveUint32Value(file, m_SamplingRate);
  }
  if (!m_VoiceName.empty()) {
    SaveToken(file, sm_VoiceNameToken);
    SaveStringValue(file, m_VoiceName);
  }
  if (m_VoiceGender != VOICE_GENDER_UNKNOWN) {
    SaveToken(file, sm_VoiceGenderToken);
    SaveUint32Value(file, static_cast<unsigned>(m_VoiceGender));
  }
  const mrcp_prosody_rate_t& rate = m_Prosody.m_Rate;
  if (rate.type != PROSODY_RATE_TYPE_UNKNOWN) {
    std::string text = std::to_string(static_cast<unsigned>(rate.type)) + " ";
    if (rate.type == PROSODY_RATE_TYPE_LABEL) {
      text += std::to_string(static_cast<unsigned>(rate.value.label));
    } else if (rate.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
      text += FormatNumber(rate.value.relative);
    }
    SaveToken(file, sm_ProsodyRateToken);
    SaveStringValue(file, text);
  }
  const mrcp_prosody_volume_t& volume = m_Prosody.m_Volume;
  if (volume.type != PROSODY_VOLUME_TYPE_UNKNOWN) {
    std::string text = std::to_string(static_cast<unsigned>(volume.type)) + " ";
    if (volume.type == PROSODY_VOLUME_TYPE_LABEL) {
      text += std::to_string(static_cast<unsigned>(volume.value.label));
    } else if (volume.type == PROSODY_VOLUME_TYPE_NUMERIC) {
      text += FormatNumber(volume.value.numeric);
    } else if (volume.type == PROSODY_VOLUME_TYPE_RELATIVE_CHANGE) {
      text += FormatNumber(volume.value.relative);
    }
    SaveToken(file, sm_ProsodyVolumeToken);
    SaveStringValue(file, text);
  }
  const std::pair<const std::string*, const std::string*> strings[] = {
      {&sm_ProsodyPitchToken, &m_Prosody.m_Pitch},
      {&sm_ProsodyContourToken, &m_Prosody.m_Contour},
      {&sm_ProsodyRangeToken, &m_Prosody.m_Range},
      {&sm_ProsodyDurationToken, &m_Prosody.m_Duration}};
  for (const auto& item : strings) {
    if (item.second->empty()) continue;
    SaveToken(file, *item.first);
    SaveStringValue(file, *item.second);
  }
  if (m_Usage != 0) {
    // A count beyond 32 bits is saved as the largest one: wrapped, a much
    // used record would read back as one never used and be evicted first.
    SaveToken(file, sm_UseCountToken);
    SaveUint32Value(file, static_cast<unsigned>(std::min<uint64_t>(m_Usage, 0xFFFFFFFFu)));
  }
  if (!m_Content.empty()) {
    SaveToken(file, sm_ContentToken);
    SaveStringValue(file, m_Content);
  }
  apr_file_close(file);
  return true;
}

bool WaveformManager::CacheEntry::Load(const std::string& path, apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Load Cache File %s", path.c_str());
  ScratchPool scratch(pool);
  apr_file_t* file = nullptr;
  if (!scratch.Get() || apr_file_open(&file, path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY,
                                      APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Reading %s",
            path.c_str());
    return false;
  }
  m_Stale = false;
  LoadAttributes(file);
  apr_file_close(file);
  return true;
}

bool WaveformManager::CacheEntry::LoadAttributes(apr_file_t* file) {
  do {
    std::string name;
    if (!ReadToken(file, name)) return true;
    std::string value;
    if (!ReadToken(file, value)) return false;
    LoadAttribute(name, value);
  } while (apr_file_eof(file) != APR_EOF);
  return true;
}

bool WaveformManager::CacheEntry::LoadAttribute(const std::string& name, const std::string& value) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Load Attribute: %s = %s", name.c_str(),
          value.c_str());
  if (name == sm_ChecksumToken) {
    const uint64_t checksum = ParseNumber<uint64_t>(value);
    if (!m_Registered) {
      m_Checksum = checksum;
    } else if (checksum != m_Checksum) {
      m_Stale = true;
    }
  } else if (name == sm_UseCountToken) {
    // The store counts the uses of a registered record itself.
    if (!m_Registered) m_Usage = ParseNumber<uint64_t>(value);
  } else if (name == sm_SamplingRateToken) {
    m_SamplingRate = ParseNumber<uint16_t>(value);
  } else if (name == sm_VoiceGenderToken) {
    m_VoiceGender = static_cast<int32_t>(ParseNumber<uint32_t>(value));
  } else if (name == sm_ProsodyRateToken) {
    std::istringstream in(value);
    // Types and labels beyond the host's enumerations read as "not set" and
    // "unknown", so that no out-of-range value is stored in them.
    const unsigned type = std::min<unsigned>(ParseNumber<unsigned>(in), PROSODY_RATE_TYPE_UNKNOWN);
    m_Prosody.m_Rate.type = static_cast<mrcp_prosody_rate_type_e>(type);
    if (type == PROSODY_RATE_TYPE_LABEL) {
      m_Prosody.m_Rate.value.label = static_cast<mrcp_prosody_rate_label_e>(
          std::min<unsigned>(ParseNumber<unsigned>(in), PROSODY_RATE_UNKNOWN));
    } else if (type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
      m_Prosody.m_Rate.value.relative = ParseNumber<float>(in);
    }
  } else if (name == sm_ProsodyVolumeToken) {
    std::istringstream in(value);
    const unsigned type =
        std::min<unsigned>(ParseNumber<unsigned>(in), PROSODY_VOLUME_TYPE_UNKNOWN);
    m_Prosody.m_Volume.type = static_cast<mrcp_prosody_volume_type_e>(type);
    if (type == PROSODY_VOLUME_TYPE_LABEL) {
      m_Prosody.m_Volume.value.label = static_cast<mrcp_prosody_volume_label_e>(
          std::min<unsigned>(ParseNumber<unsigned>(in), PROSODY_VOLUME_UNKNOWN));
    } else if (type == PROSODY_VOLUME_TYPE_NUMERIC) {
      m_Prosody.m_Volume.value.numeric = ParseNumber<float>(in);
    } else if (type == PROSODY_VOLUME_TYPE_RELATIVE_CHANGE) {
      m_Prosody.m_Volume.value.relative = ParseNumber<float>(in);
    }
  } else if (name == sm_LanguageToken) {
    m_Language = value;
  } else if (name == sm_VoiceNameToken) {
    m_VoiceName = value;
  } else if (name == sm_ProsodyPitchToken) {
    m_Prosody.m_Pitch = value;
  } else if (name == sm_ProsodyContourToken) {
    m_Prosody.m_Contour = value;
  } else if (name == sm_ProsodyRangeToken) {
    m_Prosody.m_Range = value;
  } else if (name == sm_ProsodyDurationToken) {
    m_Prosody.m_Duration = value;
  } else if (name == sm_ContentToken) {
    m_Content = value;
  } else {
    return false;
  }
  return true;
}

void WaveformManager::CacheEntry::ReleaseMemory() {
  std::string().swap(m_Language);
  std::string().swap(m_VoiceName);
  std::string().swap(m_Content);
  m_Prosody.Reset();
}

bool WaveformManager::CacheEntry::SaveToken(apr_file_t* file, const std::string& token) {
  unsigned char count[kTokenCountSize];
  PutUint32(count, static_cast<uint32_t>(token.size()));
  if (apr_file_write_full(file, count, sizeof(count), nullptr) != APR_SUCCESS) return false;
  if (token.empty()) return true;
  return apr_file_write_full(file, token.data(), token.size(), nullptr) == APR_SUCCESS;
}

bool WaveformManager::CacheEntry::ReadToken(apr_file_t* file, std::string& token) {
  unsigned char bytes[kTokenCountSize];
  if (apr_file_read_full(file, bytes, sizeof(bytes), nullptr) != APR_SUCCESS) return false;
  const uint32_t count = GetUint32(bytes);
  if (count == 0) return true;
  // A count beyond the rest of the file (damage, truncation, a foreign
  // file) ends the reading instead of sizing a buffer after it.
  apr_finfo_t info;
  apr_off_t position = 0;
  if (apr_file_info_get(&info, APR_FINFO_SIZE, file) != APR_SUCCESS ||
      apr_file_seek(file, APR_CUR, &position) != APR_SUCCESS || position > info.size ||
      count > static_cast<uint64_t>(info.size - position)) {
    return false;
  }
  std::string value(count, '\0');
  if (apr_file_read_full(file, &value[0], count, nullptr) != APR_SUCCESS) return false;
  token.swap(value);
  return true;
}

bool WaveformManager::CacheEntry::SaveUint32Value(apr_file_t* file, unsigned value) {
  return SaveToken(file, std::to_string(value));
}

bool WaveformManager::CacheEntry::SaveUint64Value(apr_file_t* file, unsigned long value) {
  return SaveToken(file, std::to_string(value));
}

bool WaveformManager::CacheEntry::ComposeFileName(const std::string& wave_name,
                                                  std::string& cache_name) {
  const size_t dot = wave_name.rfind('.');
  if (dot == std::string::npos) return false;
  cache_name = wave_name.substr(0, dot) + kCacheFileExtension;
  return true;
}

}  // namespace VXS
