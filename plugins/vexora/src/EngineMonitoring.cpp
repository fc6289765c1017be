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

void Engine::DumpUsage(const StatusFileSettings& settings) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Update usage %s",
          settings.m_StatusFile.c_str());
  std::ofstream file(settings.m_StatusFile, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
            settings.m_StatusFile.c_str());
    return;
  }
  file << "in-use channels: " << m_InUseCount << "\n" << std::flush;
  file << "max used channels: " << m_MaxUsage << "\n" << std::flush;
}

void Engine::DumpChannels(const StatusFileSettings& settings) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_DEBUG, "Dump channels %s",
          settings.m_StatusFile.c_str());
  std::ofstream file(settings.m_StatusFile, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Open Status File %s",
            settings.m_StatusFile.c_str());
    return;
  }
  for (Channel* channel : m_OpenChannels) {
    if (!file) break;
    channel->Dump(file);
  }
}

}  // namespace VXS
