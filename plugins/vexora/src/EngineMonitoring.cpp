// Usage monitoring: the usage line, the usage file and the channels file,
// produced on every usage change and on the refresh timer; the metrics file,
// written on the refresh timer and at shutdown.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

void Engine::OnUsageChange() { ProduceOutputs(m_MonitoringSettings.m_UsageChangeHandler); }

void Engine::OnTimeoutElapsed(Ambrel::Timer* timer) {
  if (!timer || timer != m_UsageRefreshTimer) return;
  ProduceOutputs(m_MonitoringSettings.m_UsageRefreshHandler);
  DumpMetrics();
}

void Engine::ProduceOutputs(const MonitoringHandler& handler) {
  if (handler.m_LogStatement.m_Enable) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, handler.m_LogStatement.m_Priority, "VXS Usage: %u/%u",
            m_CurrentUsage, m_MaxUsage);
  }
  if (handler.m_UsageFile.m_Enable) DumpUsage(handler.m_UsageFile);
  if (handler.m_ChannelsFile.m_Enable) DumpChannels(handler.m_ChannelsFile);
}

namespace {

// Where a status file's content is written first: a hidden file in the same
// folder, so that the rename that puts it in place stays on one file system.
std::string ComposeTempPath(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + name + ".tmp";
}

// Replaces a status file by one holding `content`. The content goes to a
// temporary file beside it, which is then renamed over it: a monitoring
// script reads either the previous or the new file whole, never one that is
// being rewritten. A status file that is a symbolic link is replaced where
// the link points; the mode of the file replaced is kept.
void WriteStatusFile(const StatusFileSettings& settings, const char* what,
                     const std::string& content) {
  const std::string& path = settings.m_StatusFile;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "%s %s", what, path.c_str());
  std::string target = path;
  struct stat info;
  if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) target = resolved;
  }
  bool exists = stat(target.c_str(), &info) == 0;
  std::string temp = ComposeTempPath(target);
  std::ofstream file;
  if (!(exists && S_ISDIR(info.st_mode)) && !target.empty() && target.back() != '/') {
    file.open(temp, std::ios::out | std::ios::trunc | std::ios::binary);
  }
  if (!file.is_open()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
            path.c_str());
    return;
  }
  file << content;
  file.close();
  if (!file) {
    std::remove(temp.c_str());
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Write Status File %s",
            path.c_str());
    return;
  }
  if (exists) chmod(temp.c_str(), info.st_mode & 07777);
  if (std::rename(temp.c_str(), target.c_str()) != 0) {
    std::remove(temp.c_str());
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Replace Status File %s",
            path.c_str());
  }
}

}  // namespace

void Engine::DumpUsage(const StatusFileSettings& settings) {
  std::ostringstream content;
  content << "in-use channels: " << m_InUseCount << "\n";
  content << "max used channels: " << m_MaxUsage << "\n";
  WriteStatusFile(settings, "Update usage", content.str());
}

void Engine::DumpMetrics() {
  if (m_MonitoringSettings.m_MetricsFile.empty()) return;
  EngineMetrics::Gauges gauges;
  gauges.m_ChannelsInUse = m_InUseCount;
  if (m_WaveformManager) {
    // The store keeps no sizes; its files are looked at once per write
    // (the store holds at most max-file-count of them).
    gauges.m_StoreRecords = m_WaveformManager->GetEntryCount();
    const std::string& folder = m_WaveformManager->GetDirectory();
    for (const auto& item : m_WaveformManager->GetFileIndex()) {
      struct stat info;
      if (stat((folder + item.second->m_Name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        gauges.m_StoreBytes += static_cast<uint64_t>(info.st_size);
      }
    }
  }
  StatusFileSettings settings;
  settings.m_Enable = true;
  settings.m_StatusFile = m_MonitoringSettings.m_MetricsFile;
  WriteStatusFile(settings, "Write metrics", m_Metrics.Render(gauges));
}

void Engine::DumpChannels(const StatusFileSettings& settings) {
  // A channel without an identifier fails the stream; the lines before it
  // are what the file then holds.
  std::ostringstream content;
  for (Channel* channel : m_OpenChannels) {
    if (!content) break;
    channel->Dump(content);
  }
  WriteStatusFile(settings, "Dump channels", content.str());
}

}  // namespace VXS
