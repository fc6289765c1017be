// Usage monitoring: the usage line, the usage file and the channels file,
// produced on every usage change and on the refresh timer.
#include <fstream>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

void Engine::OnUsageChange() { ProduceOutputs(m_MonitoringSettings.m_UsageChangeHandler); }

void Engine::OnTimeoutElapsed(Ambrel::Timer* timer) {
  if (!timer || timer != m_UsageRefreshTimer) return;
  ProduceOutputs(m_MonitoringSettings.m_UsageRefreshHandler);
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

// Opens a status file for rewriting, logging the attempt and a failure.
bool OpenStatusFile(std::ofstream& file, const StatusFileSettings& settings, const char* what) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "%s %s", what, settings.m_StatusFile.c_str());
  file.open(settings.m_StatusFile, std::ios::out | std::ios::trunc);
  if (file.is_open()) return true;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
          settings.m_StatusFile.c_str());
  return false;
}

}  // namespace

void Engine::DumpUsage(const StatusFileSettings& settings) {
  std::ofstream file;
  if (!OpenStatusFile(file, settings, "Update usage")) return;
  file << "in-use channels: " << m_InUseCount << "\n" << std::flush;
  file << "max used channels: " << m_MaxUsage << "\n" << std::flush;
}

void Engine::DumpChannels(const StatusFileSettings& settings) {
  std::ofstream file;
  if (!OpenStatusFile(file, settings, "Dump channels")) return;
  for (Channel* channel : m_OpenChannels) {
    if (!file) break;
    channel->Dump(file);
  }
}

}  // namespace VXS
