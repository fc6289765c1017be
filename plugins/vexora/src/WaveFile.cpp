// WAVE files of the waveform folder: writing a synthesized reply behind a
// fresh header and finishing the header once its length is known, and
// reading the audio of a stored file or of a reply in memory.
#include <apr_file_info.h>

#include <algorithm>
#include <cstring>

#include "AprResources.h"
#include "ByteOrder.h"
#include "Plugin.h"
#include "WaveformManager.h"

namespace VXS {

namespace {

const size_t kWaveHeaderSize = 44;

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

}  // namespace

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
  AprFile guard;
  if (!scratch.Get() || apr_file_open(guard.Out(), path.c_str(), APR_FOPEN_READ | APR_FOPEN_BINARY,
                                      APR_OS_DEFAULT, scratch.Get()) != APR_SUCCESS) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Cannot Open Waveform File for Reading %s",
            path.c_str());
    return false;
  }
  apr_file_t* file = guard.Get();
  apr_finfo_t info;
  if (apr_file_info_get(&info, APR_FINFO_SIZE, file) != APR_SUCCESS) return false;
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
    return false;
  }
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

}  // namespace VXS
