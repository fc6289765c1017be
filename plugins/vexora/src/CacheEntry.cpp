// The cache record of one synthesized waveform: its place in the manager's
// checksum index, and its descriptor file, a sequence of tokens (a 32-bit
// little-endian byte count, then the bytes) that alternate between an
// attribute name and its value.
#include <apr_file_info.h>

#include <algorithm>
#include <cstring>
#include <sstream>

// The hash is built into the module from the library's header, so that the
// module needs no shared library of it at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "AprResources.h"
#include "ByteOrder.h"
#include "Plugin.h"
#include "WaveformManager.h"

namespace VXS {

namespace {

const size_t kTokenCountSize = 4;
const char kCacheFileExtension[] = ".cache";

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

// The value a number reads back as from the descriptor.
float AsSaved(float value) { return ParseNumber<float>(FormatNumber(value)); }

void HashValue(XXH3_state_t* state, const std::string& value) {
  const uint64_t size = value.size();
  XXH3_64bits_update(state, &size, sizeof(size));
  XXH3_64bits_update(state, value.data(), value.size());
}

void HashValue(XXH3_state_t* state, uint64_t value) {
  XXH3_64bits_update(state, &value, sizeof(value));
}

}  // namespace

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
      m_VoiceGender(VOICE_GENDER_UNKNOWN) {
  memset(&m_MatchRate, 0, sizeof(m_MatchRate));
  memset(&m_MatchVolume, 0, sizeof(m_MatchVolume));
  m_MatchRate.type = PROSODY_RATE_TYPE_UNKNOWN;
  m_MatchVolume.type = PROSODY_VOLUME_TYPE_UNKNOWN;
}

WaveformManager::CacheEntry::~CacheEntry() = default;

void WaveformManager::CacheEntry::OnRegister(FileManager* manager) {
  WaveformManager* owner = dynamic_cast<WaveformManager*>(manager);
  if (!owner) return;
  ChecksumIndex& index = owner->GetChecksumIndex();
  index.emplace(m_Checksum, this);
  m_MatchHash = ComposeMatchHash(m_Content, m_Language, m_SamplingRate, m_VoiceName,
                                 m_VoiceGender, m_Prosody);
  m_MatchRate = m_Prosody.m_Rate;
  if (m_MatchRate.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
    m_MatchRate.value.relative = AsSaved(m_MatchRate.value.relative);
  }
  m_MatchVolume = m_Prosody.m_Volume;
  if (m_MatchVolume.type == PROSODY_VOLUME_TYPE_NUMERIC) {
    m_MatchVolume.value.numeric = AsSaved(m_MatchVolume.value.numeric);
  } else if (m_MatchVolume.type == PROSODY_VOLUME_TYPE_RELATIVE_CHANGE) {
    m_MatchVolume.value.relative = AsSaved(m_MatchVolume.value.relative);
  }
  owner->GetMatchIndex().emplace(m_MatchHash, this);
  m_Registered = true;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG,
          "Added Cache Record [%s] checksum [%lu] total count [%d]", m_Name.c_str(),
          static_cast<unsigned long>(m_Checksum), static_cast<int>(index.size()));
  ReleaseMemory();
}

void WaveformManager::CacheEntry::OnUnregister(FileManager* manager) {
  WaveformManager* owner = dynamic_cast<WaveformManager*>(manager);
  if (!owner) return;
  MatchIndex& matches = owner->GetMatchIndex();
  auto match_range = matches.equal_range(m_MatchHash);
  for (auto pos = match_range.first; pos != match_range.second; ++pos) {
    if (pos->second != this) continue;
    matches.erase(pos);
    break;
  }
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
  AprFile guard;
  const apr_int32_t flags =
      APR_FOPEN_WRITE | APR_FOPEN_CREATE | APR_FOPEN_TRUNCATE | APR_FOPEN_BINARY;
  if (!scratch.Get() ||
      apr_file_open(guard.Out(), path.c_str(), flags, APR_OS_DEFAULT, scratch.Get()) !=
          APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Writing %s",
            path.c_str());
    return false;
  }
  std::string image;
  SaveToken(image, sm_ChecksumToken);
  SaveUint64Value(image, static_cast<unsigned long>(m_Checksum));
  if (!m_Language.empty()) {
    SaveToken(image, sm_LanguageToken);
    SaveStringValue(image, m_Language);
  }
  if (m_SamplingRate != 0) {
    SaveToken(image, sm_SamplingRateToken);
    SaveUint32Value(image, m_SamplingRate);
  }
  if (!m_VoiceName.empty()) {
    SaveToken(image, sm_VoiceNameToken);
    SaveStringValue(image, m_VoiceName);
  }
  if (m_VoiceGender != VOICE_GENDER_UNKNOWN) {
    SaveToken(image, sm_VoiceGenderToken);
    SaveUint32Value(image, static_cast<unsigned>(m_VoiceGender));
  }
  const mrcp_prosody_rate_t& rate = m_Prosody.m_Rate;
  if (rate.type != PROSODY_RATE_TYPE_UNKNOWN) {
    std::string text = std::to_string(static_cast<unsigned>(rate.type)) + " ";
    if (rate.type == PROSODY_RATE_TYPE_LABEL) {
      text += std::to_string(static_cast<unsigned>(rate.value.label));
    } else if (rate.type == PROSODY_RATE_TYPE_RELATIVE_CHANGE) {
      text += FormatNumber(rate.value.relative);
    }
    SaveToken(image, sm_ProsodyRateToken);
    SaveStringValue(image, text);
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
    SaveToken(image, sm_ProsodyVolumeToken);
    SaveStringValue(image, text);
  }
  const std::pair<const std::string*, const std::string*> strings[] = {
      {&sm_ProsodyPitchToken, &m_Prosody.m_Pitch},
      {&sm_ProsodyContourToken, &m_Prosody.m_Contour},
      {&sm_ProsodyRangeToken, &m_Prosody.m_Range},
      {&sm_ProsodyDurationToken, &m_Prosody.m_Duration}};
  for (const auto& item : strings) {
    if (item.second->empty()) continue;
    SaveToken(image, *item.first);
    SaveStringValue(image, *item.second);
  }
  if (m_Usage != 0) {
    // A count beyond 32 bits is saved as the largest one: wrapped, a much
    // used record would read back as one never used and be evicted first.
    SaveToken(image, sm_UseCountToken);
    SaveUint32Value(image, static_cast<unsigned>(std::min<uint64_t>(m_Usage, 0xFFFFFFFFu)));
  }
  if (!m_Content.empty()) {
    SaveToken(image, sm_ContentToken);
    SaveStringValue(image, m_Content);
  }
  return apr_file_write_full(guard.Get(), image.data(), image.size(), nullptr) == APR_SUCCESS;
}

bool WaveformManager::CacheEntry::Load(const std::string& path, apr_pool_t* pool) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Load Cache File %s", path.c_str());
  ScratchPool scratch(pool);
  AprFile guard;
  if (!scratch.Get() || apr_file_open(guard.Out(), path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY,
                                      APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Cache File for Reading %s",
            path.c_str());
    return false;
  }
  m_Stale = false;
  // One read of the whole file: the descriptors of a large folder are all
  // read at start-up, and a read per token made that scan cost seconds.
  // What a failed read leaves is parsed as far as it goes, as a file cut
  // short is.
  std::string image;
  apr_finfo_t info;
  if (apr_file_info_get(&info, APR_FINFO_SIZE, guard.Get()) == APR_SUCCESS && info.size > 0) {
    image.resize(static_cast<size_t>(info.size));
    apr_size_t length = 0;
    apr_file_read_full(guard.Get(), &image[0], image.size(), &length);
    image.resize(length);
  }
  LoadAttributes(image);
  return true;
}

bool WaveformManager::CacheEntry::LoadAttributes(const std::string& image) {
  size_t position = 0;
  while (position < image.size()) {
    std::string name;
    if (!ReadToken(image, position, name)) return true;
    std::string value;
    if (!ReadToken(image, position, value)) return false;
    LoadAttribute(name, value);
  }
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

void WaveformManager::CacheEntry::SaveToken(std::string& image, const std::string& token) {
  unsigned char count[kTokenCountSize];
  PutUint32(count, static_cast<uint32_t>(token.size()));
  image.append(reinterpret_cast<const char*>(count), sizeof(count));
  image.append(token);
}

bool WaveformManager::CacheEntry::ReadToken(const std::string& image, size_t& position,
                                            std::string& token) {
  if (position > image.size() || image.size() - position < kTokenCountSize) return false;
  const uint32_t count = GetUint32(reinterpret_cast<const unsigned char*>(image.data() + position));
  position += kTokenCountSize;
  if (count == 0) return true;
  // A count beyond the rest of the file (damage, truncation, a foreign
  // file) ends the reading.
  if (count > image.size() - position) return false;
  token.assign(image, position, count);
  position += count;
  return true;
}

void WaveformManager::CacheEntry::SaveUint32Value(std::string& image, unsigned value) {
  SaveToken(image, std::to_string(value));
}

void WaveformManager::CacheEntry::SaveUint64Value(std::string& image, unsigned long value) {
  SaveToken(image, std::to_string(value));
}

uint64_t WaveformManager::CacheEntry::ComposeMatchHash(const std::string& content,
                                                       const std::string& language,
                                                       unsigned sampling_rate,
                                                       const std::string& voice_name,
                                                       int32_t voice_gender,
                                                       const ProsodyParams& prosody) {
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  HashValue(&state, content);
  HashValue(&state, language);
  HashValue(&state, static_cast<uint64_t>(sampling_rate));
  HashValue(&state, voice_name);
  HashValue(&state, static_cast<uint64_t>(static_cast<uint32_t>(voice_gender)));
  HashValue(&state, prosody.m_Pitch);
  HashValue(&state, prosody.m_Contour);
  HashValue(&state, prosody.m_Range);
  HashValue(&state, prosody.m_Duration);
  return XXH3_64bits_digest(&state);
}

bool WaveformManager::CacheEntry::ComposeFileName(const std::string& wave_name,
                                                  std::string& cache_name) {
  const size_t dot = wave_name.rfind('.');
  if (dot == std::string::npos) return false;
  cache_name = wave_name.substr(0, dot) + kCacheFileExtension;
  return true;
}

}  // namespace VXS
