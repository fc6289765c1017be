#include "Engine.h"

#include <absl/synchronization/mutex.h>
#include <apr_env.h>
#include <apr_time.h>
#include <pthread.h>

#include <grpc/support/log.h>
#include <grpcpp/security/credentials.h>

#include "Channel.h"
#include "Plugin.h"
#include "PluginBindings.h"
#include "Task.h"

namespace VXS {

namespace {

// The cache records the start-up scan indexes before the engine's open is
// answered. A larger folder is indexed on from there a slice at a time on
// the event-processor thread, each slice queued behind the events that
// came meanwhile, so that neither the open nor any call waits for the
// whole folder. A slice costs about a millisecond.
const size_t kRecordsIndexedAtOpen = 4096;
const size_t kRecordsPerScanSlice = 64;

// One slice of the waveform folder's scan. The scan is that of one
// manager: a slice left over from a manager that is gone does nothing.
class WaveformScanEvent : public Ambrel::AsyncEvent {
 public:
  WaveformScanEvent(Engine* engine, uint64_t generation)
      : m_Engine(engine), m_Generation(generation) {}
  void Process() override { m_Engine->ContinueWaveformScan(m_Generation); }

 private:
  Engine* m_Engine;  // not owned; outlives its processor's events
  uint64_t m_Generation;
};

}  // namespace

Engine::Engine(const std::string& name, EngineEnv* env)
    : m_Name(name),
      m_HostEngine(nullptr),
      m_Env(env ? env : EngineEnv::Default()),
      m_Clock(m_Env->GetClock()),
      m_EventProcessor(nullptr),
      m_Task(nullptr),
      m_WaveformManager(nullptr),
      m_SdrManager(nullptr),
      m_InUseCount(0),
      m_UsageRefreshTimer(nullptr),
      m_CurrentUsage(0),
      m_MaxUsage(0),
      m_LoggerCreated(false),
      m_GrpcLogRedirected(false) {
  // Both stores name their files after the module unless configured
  // otherwise.
  m_WaveformManagerSettings.m_FilePrefix = "vexora-";
  m_SdrManagerSettings.m_FilePrefix = "vexora-";
}

Engine::~Engine() {
  DestroyEventProcessor();
  DestroyLogger();
}

bool Engine::Open() {
  // The abseil build of the system keeps its lock-order graph on: every lock
  // of the gRPC library (a channel, a call, a completion queue) then pays
  // for a graph update, and the engine thread spends its time there when
  // hundreds of calls start at once. The setting is the process's: it is
  // described in the README.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  if (!LoadConfig("vexora.xml", "vexora", m_HostEngine ? m_HostEngine->dir_layout : nullptr,
                  m_HostEngine ? m_HostEngine->pool : nullptr)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Load QMS VXS Config");
    return false;
  }
  CreateLogger();
  if (!CreateEventProcessor()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Event Processor");
    return false;
  }
  return true;
}

bool Engine::Close() {
  DestroyEventProcessor();
  DestroyLogger();
  if (m_HostEngine) mrcp_engine_close_respond(m_HostEngine);
  return true;
}

bool Engine::CreateLogger() {
  if (m_LoggerCreated) return true;
  Ambrel::Logger* logger = Ambrel::Logger::CreateInstance();
  m_LoggerCreated = true;
  if (logger) {
    logger->AddLogDevice(new LogRedirectDevice());
    logger->Start();
  }
  return true;
}

void Engine::DestroyLogger() {
  if (!m_LoggerCreated) return;
  m_LoggerCreated = false;
  Ambrel::Logger::DestroyInstance();
}

bool Engine::CreateEventProcessor() {
  if (m_EventProcessor) return false;
  m_EventProcessor = m_Env->CreateEventProcessor();
  if (!m_EventProcessor) return false;
  if (!m_Env->StartEventProcessor(m_EventProcessor, this)) {
    delete m_EventProcessor;
    m_EventProcessor = nullptr;
    return false;
  }
  return true;
}

void Engine::DestroyEventProcessor() {
  if (!m_EventProcessor) return;
  m_Env->StopEventProcessor(m_EventProcessor);
  delete m_EventProcessor;
  m_EventProcessor = nullptr;
}

bool Engine::IsProcessorThread() const {
  return !m_EventProcessor || m_Env->IsProcessorThread(m_EventProcessor);
}

bool Engine::OnStart(Ambrel::SoftEventProcessor*) {
  // Named so that an operator (top -H, perf) can tell the thread every
  // SPEAK is started on.
  pthread_setname_np(pthread_self(), "vxs-engine");
  bool result = false;
  try {
    result = ProcessStart();
  } catch (...) {
    LogCurrentException("Failed to Start Engine");
    // What was built before the failure goes as on any other failed start.
    try {
      Cleanup();
    } catch (...) {
      LogCurrentException("Failed to Clean Up Engine");
    }
  }
  // A failed start ends the thread without a shutdown, and the host may
  // unload the module once it has been told: the gRPC library must not keep
  // logging into it.
  if (!result) DisableGrpcLogRedirection();
  if (m_HostEngine) mrcp_engine_open_respond(m_HostEngine, result ? TRUE : FALSE);
  return result;
}

void Engine::OnShutdown(Ambrel::SoftEventProcessor*) {
  try {
    ProcessShutdown();
  } catch (...) {
    LogCurrentException("Failed to Shut Down Engine");
  }
  DisableGrpcLogRedirection();
}

void Engine::DisableGrpcLogRedirection() {
  if (!m_GrpcLogRedirected) return;
  m_GrpcLogRedirected = false;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Disable gRPC Log Redirection");
  gpr_set_log_function(nullptr);
}

bool Engine::ProcessStart() {
  VXS_ASSERT_PROCESSOR_THREAD(this);
  OnUsageChange();
  if (!ProcessOpen()) {
    Cleanup();
    return false;
  }
  if (!CreateWaveformManager(m_WaveformManagerSettings)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create Waveform Manager");
    Cleanup();
    return false;
  }
  if (!CreateSdrManager(m_SdrManagerSettings)) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create SDR Manager");
    Cleanup();
    return false;
  }
  OnUsageChange();

  if (m_MonitoringSettings.m_UsageRefreshHandler.AnyEnabled() ||
      !m_MonitoringSettings.m_MetricsFile.empty()) {
    // A period of zero or less would make a timer that never leaves the
    // queue's head; such a setting starts no timer at all.
    if (m_MonitoringSettings.m_RefreshPeriod <= 0) {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
              "Usage Refresh Timer Not Set: refresh-period [%ld sec] is not positive",
              static_cast<long>(m_MonitoringSettings.m_RefreshPeriod));
    } else {
      apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Set Usage Refresh Timer [%d sec]",
              static_cast<int>(m_MonitoringSettings.m_RefreshPeriod));
      m_UsageRefreshTimer = new Ambrel::Timer(
          this, static_cast<int64_t>(m_MonitoringSettings.m_RefreshPeriod) * 1000,
          Ambrel::Timer::PERIODIC, Ambrel::Timer::LIFETIME_AUTO);
      if (!m_UsageRefreshTimer->Start(m_EventProcessor)) {
        delete m_UsageRefreshTimer;
        m_UsageRefreshTimer = nullptr;
      }
    }
  }
  return true;
}

bool Engine::SetEnv(const char* name, const std::string& value) {
  apr_pool_t* pool = m_HostEngine ? m_HostEngine->pool : nullptr;
  return pool && apr_env_set(name, value.c_str(), pool) == APR_SUCCESS;
}

bool Engine::ProcessOpen() {
  VXS_ASSERT_PROCESSOR_THREAD(this);
  if (!m_SynthSettings.m_GrpcLogVerbosity.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set gRPC Verbosity %s",
            m_SynthSettings.m_GrpcLogVerbosity.c_str());
    SetEnv("GRPC_VERBOSITY", m_SynthSettings.m_GrpcLogVerbosity);
  }
  if (!m_SynthSettings.m_GrpcLogTrace.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set gRPC Trace %s",
            m_SynthSettings.m_GrpcLogTrace.c_str());
    SetEnv("GRPC_TRACE", m_SynthSettings.m_GrpcLogTrace);
  }
  if (m_SynthSettings.m_GrpcLogRedirection) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Enable gRPC Log Redirection");
    gpr_set_log_function(GrpcLogRedirector);
    m_GrpcLogRedirected = true;
  }
  if (!m_SslRootsFile.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set SSL Roots %s", m_SslRootsFile.c_str());
    SetEnv("GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", m_SslRootsFile);
  }
  std::string audience;
  ComposeAudience(m_SynthSettings.m_Region, audience);

  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set Defualt Google App Credentials %s",
          m_CredentialsFile.c_str());
  SetEnv("GOOGLE_APPLICATION_CREDENTIALS", m_CredentialsFile);

  Credentials credentials;
  if (m_SynthSettings.m_SecureTransport) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Default Google Credentials [%s]",
            audience.c_str());
    // The library's default credentials probe for a cloud metadata server
    // when the key file is unusable, which can block for minutes; they are
    // only asked for once the key file is known to hold a usable key.
    std::string key;
    if (ReadKeyFile(m_CredentialsFile, key) && IsUsableCredentialsKey(key)) {
      credentials = grpc::GoogleDefaultCredentials();
    }
  } else {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Insecure Credentials");
    credentials = grpc::InsecureChannelCredentials();
  }
  m_DefaultCredentials = credentials;
  if (!m_DefaultCredentials) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Failed to Create Default Google Credentials");
    return false;
  }
  m_CredentialsMap.emplace(m_CredentialsFile, m_DefaultCredentials);

  if (!m_SynthSettings.m_HttpProxy.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE, "Set HTTP Proxy %s",
            m_SynthSettings.m_HttpProxy.c_str());
    SetEnv("http_proxy", m_SynthSettings.m_HttpProxy);
  }
  m_Breaker.Configure(static_cast<uint32_t>(m_SynthSettings.m_BreakerFailures),
                      m_SynthSettings.m_BreakerCooldown * 1000);
  const std::string fallback = ComposeFallbackTarget();
  if (!m_Breaker.IsEnabled() && !fallback.empty()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING,
            "Fallback [%s] Unused: breaker-failures is 0", fallback.c_str());
  }
  if (!CreateGrpcTask()) return false;
  // A channel that cannot be made now is tried again by the first SPEAK
  // that needs it, which reports its failure as its own.
  CreateDefaultServiceChannel();
  return true;
}

bool Engine::CreateGrpcTask() {
  if (m_Task) return false;
  m_Task = new Task("GRPC");
  m_Task->Create(m_HostEngine ? m_HostEngine->pool : nullptr);
  if (!m_Task->Start()) {
    delete m_Task;
    m_Task = nullptr;
    return false;
  }
  return true;
}

void Engine::DestroyGrpcTask() {
  if (!m_Task) return;
  // Calls still in flight are cancelled first, so that shutting the queue
  // down never waits for a service that does not answer.
  for (Channel* channel : m_OpenChannels) channel->CancelSynthesis();
  m_SharedSyntheses.CancelAll();
  m_Task->Terminate();
  m_Task->Destroy();
  delete m_Task;
  m_Task = nullptr;
}

bool Engine::CreateWaveformManager(const WaveformManager::Settings& settings) {
  if (m_WaveformManager) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Waveform Manager Already Exists");
    return false;
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create Waveform Manager");
  m_WaveformManager = new WaveformManager(settings, m_SynthSettings.m_Caching);
  m_WaveformManager->SetTimerProcessor(m_EventProcessor);
  m_WaveformManager->SetClock(m_Clock);
  ++m_WaveformGeneration;
  if (!m_SynthSettings.m_Caching) {
    m_WaveformManager->LoadFileEntries();
    return true;
  }
  m_WaveformScanStart = apr_time_now();
  m_WaveformManager->BeginLoadFileEntries(kRecordsIndexedAtOpen);
  if (m_WaveformManager->IsLoadingFileEntries()) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
            "Index Cache Records in Background [%d indexed at open]",
            static_cast<int>(m_WaveformManager->GetEntryCount()));
    Ambrel::PostAsyncEvent(m_EventProcessor,
                           new WaveformScanEvent(this, m_WaveformGeneration));
  }
  return true;
}

void Engine::ContinueWaveformScan(uint64_t generation) {
  VXS_ASSERT_PROCESSOR_THREAD(this);
  if (!m_WaveformManager || generation != m_WaveformGeneration) return;
  if (m_WaveformManager->ContinueLoadFileEntries(kRecordsPerScanSlice)) {
    Ambrel::PostAsyncEvent(m_EventProcessor, new WaveformScanEvent(this, generation));
    return;
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_NOTICE,
          "Cache Records Indexed [%d] in [%ld ms]",
          static_cast<int>(m_WaveformManager->GetEntryCount()),
          static_cast<long>((apr_time_now() - m_WaveformScanStart) / 1000));
}

void Engine::DestroyWaveformManager() {
  if (!m_WaveformManager) return;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy Waveform Manager");
  delete m_WaveformManager;
  m_WaveformManager = nullptr;
  ++m_WaveformGeneration;
}

bool Engine::CreateSdrManager(const SdrManager::Settings& settings) {
  if (m_SdrManager) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "SDR Manager Already Exists");
    return false;
  }
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create SDR Manager");
  m_SdrManager = new SdrManager(settings);
  m_SdrManager->SetTimerProcessor(m_EventProcessor);
  m_SdrManager->SetClock(m_Clock);
  m_SdrManager->LoadFileEntries();
  return true;
}

void Engine::DestroySdrManager() {
  if (!m_SdrManager) return;
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Destroy SDR Manager");
  delete m_SdrManager;
  m_SdrManager = nullptr;
}

void Engine::Cleanup() {
  DestroyGrpcTask();
  m_ServiceChannels.clear();
  DestroyWaveformManager();
  DestroySdrManager();
}

void Engine::ProcessShutdown() {
  VXS_ASSERT_PROCESSOR_THREAD(this);
  // The processor's timer queue disposes of the timer with the processor.
  m_UsageRefreshTimer = nullptr;
  DisableGrpcLogRedirection();
  // Written while the stores still exist, so that their last figures are in.
  DumpMetrics();
  Cleanup();
  OnUsageChange();
}

void Engine::OnOpenChannel(Channel* channel) {
  m_OpenChannels.push_back(channel);
  ++m_InUseCount;
  m_CurrentUsage = m_InUseCount;
  if (m_CurrentUsage > m_MaxUsage) m_MaxUsage = m_CurrentUsage;
  OnUsageChange();
}

void Engine::OnCloseChannel(Channel* channel) {
  size_t before = m_OpenChannels.size();
  m_OpenChannels.remove(channel);
  m_InUseCount -= static_cast<unsigned>(before - m_OpenChannels.size());
  m_CurrentUsage = m_InUseCount;
  OnUsageChange();
}

}  // namespace VXS
