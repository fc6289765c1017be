#pragma once

#include <apr_pools.h>
#include <apr_xml.h>

#include <grpcpp/channel.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

#include <cassert>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "CircuitBreaker.h"
#include "EngineEnv.h"
#include "EngineMetrics.h"
#include "SdrManager.h"
#include "Settings.h"
#include "SharedSynthesis.h"
#include "WaveformManager.h"
#include "google/cloud/texttospeech/v1/cloud_tts.grpc.pb.h"
#include "ambrel/Clock.h"
#include "ambrel/EventProcessor.h"
#include "ambrel/Logger.h"
#include "ambrel/Timer.h"
#include "vxhost/mrcp.h"

namespace VXS {

class Channel;
class Task;

// The one engine behind the host's engine record: configuration, the event
// processor on which every engine and channel state change runs, the
// framework logger, the gRPC completion-queue task, the service credentials
// and the gRPC channels to the service that every MRCP channel shares, the
// waveform and record managers, and usage monitoring.
//
// Open, Close and the destructor run on host threads while the event
// processor is not (yet or any longer) running; everything else runs on the
// event-processor thread, so the engine holds no lock of its own. Owned by
// the host's engine record (deleted by the destroy binding).
class Engine : public Ambrel::TimerHandler, public Ambrel::SoftEventProcessor::Observer {
 public:
  typedef std::shared_ptr<grpc::ChannelCredentials> Credentials;
  typedef google::cloud::texttospeech::v1::TextToSpeech::Stub Stub;

  // A gRPC channel to the service and the stub on it, shared by every MRCP
  // channel that calls that target with those credentials (a stub is
  // thread-safe and holds nothing of a call). Each member is null when its
  // creation failed.
  struct ServiceChannel {
    std::shared_ptr<grpc::Channel> m_Channel;
    std::shared_ptr<Stub> m_Stub;
  };

  // env gives the event processor and the clock; null means the module's
  // own (EngineEnv::Default). A given env must outlive the engine.
  explicit Engine(const std::string& name, EngineEnv* env = nullptr);
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void OnTimeoutElapsed(Ambrel::Timer* timer) override;
  virtual bool ProcessOpen();
  virtual bool Open();
  virtual bool Close();
  bool OnStart(Ambrel::SoftEventProcessor* processor) override;
  void OnShutdown(Ambrel::SoftEventProcessor* processor) override;

  // Channel accounting, on the event-processor thread.
  void OnOpenChannel(Channel* channel);
  void OnCloseChannel(Channel* channel);

  // Service credentials.
  void ComposeAudience(const std::string& region, std::string& audience) const;
  // The longest key file read; what follows is left unread. A key document
  // with a 4096-bit RSA key is about 3.3 KiB.
  static constexpr size_t kMaxKeyFileSize = 1 << 20;
  // Reads the key file at path, its first kMaxKeyFileSize bytes, into
  // content (empty when the file is); false, without a log line and with
  // content untouched, when it cannot be opened.
  static bool ReadKeyFile(const std::string& path, std::string& content);
  // ReadKeyFile that logs a file it cannot open or that yields no bytes,
  // and fails then.
  bool LoadCredentialsFile(const std::string& path, std::string& content) const;
  Credentials CreateCredentials(const std::string& path, const std::string& region);
  Credentials FindCredentials(const std::string& path) const;
  bool GetCredentialsFilePath(std::string& path, const std::string& name, apr_pool_t* pool) const;
  // True when key is a JSON key document that the library's default
  // credentials read without the network: a service account, an authorized
  // user or an external account, each with the fields the library needs.
  static bool IsUsableCredentialsKey(const std::string& key);

  // Shared gRPC channels, one per target and credentials: the one already
  // made (both members null when none is), or a new one, stored when both
  // its channel and its stub exist. The caller logs the creation and its
  // failure.
  ServiceChannel FindServiceChannel(const std::string& target, const Credentials& credentials) const;
  ServiceChannel CreateServiceChannel(const std::string& target, const Credentials& credentials);
  // The arguments of every service channel: the largest reply, and HTTP/2
  // keepalive so that a connection that died during a quiet night is found
  // out by a ping and not by the first call of the morning.
  static void ComposeChannelArguments(const SynthSettings& settings,
                                      grpc::ChannelArguments& arguments);
  size_t GetServiceChannelCount() const { return m_ServiceChannels.size(); }
  // The target that takes the calls of an endpoint whose breaker is open
  // (fallback-service-uri, else the endpoint of fallback-region); empty
  // when none is configured.
  std::string ComposeFallbackTarget() const;
  CircuitBreaker& GetBreaker() { return m_Breaker; }
  // The calls of cacheable segments in flight, which channels that ask for
  // the same segment join instead of calling again.
  SharedSynthesisTable& GetSharedSyntheses() { return m_SharedSyntheses; }

  // Configuration document.
  bool LoadConfig(const std::string& file_name, const std::string& root_name,
                  const apt_dir_layout_t* layout, apr_pool_t* pool);
  apr_xml_doc* ParseFile(const std::string& path, apr_pool_t* pool);
  bool LoadDocument(const std::string& root_name, const apr_xml_doc* doc, apr_pool_t* pool);
  bool LoadElement(const apr_xml_elem* element, apr_pool_t* pool);
  bool ValidateConfig(const apt_dir_layout_t* layout, apr_pool_t* pool);
  static bool IsRelativePath(const std::string& path, apr_pool_t* pool);
  static bool CheckDirPath(std::string& path, const char* base_dir, apr_pool_t* pool);
  static bool CheckFilePath(std::string& path, const char* base_dir, apr_pool_t* pool);

  // Usage monitoring.
  void OnUsageChange();
  void DumpUsage(const StatusFileSettings& settings);
  void DumpChannels(const StatusFileSettings& settings);
  // Writes the metrics file, when one is configured.
  void DumpMetrics();
  // Counted from any thread (see EngineMetrics).
  EngineMetrics& GetMetrics() { return m_Metrics; }

  void SetHostEngine(mrcp_engine_t* engine) { m_HostEngine = engine; }
  mrcp_engine_t* GetHostEngine() const { return m_HostEngine; }
  const std::string& GetName() const { return m_Name; }
  Ambrel::AsyncEventTimerProcessor* GetEventProcessor() const { return m_EventProcessor; }
  // The present as an APR time, from the env's clock; any thread.
  int64_t Now() const { return Ambrel::ReadClock(m_Clock); }
  // True on the event-processor thread, and while there is no processor
  // (an engine driven by hand); the debug-build check of the handlers.
  bool IsProcessorThread() const;
  Task* GetTask() const { return m_Task; }
  const Credentials& GetDefaultCredentials() const { return m_DefaultCredentials; }
  const SynthSettings& GetSynthSettings() const { return m_SynthSettings; }
  WaveformManager* GetWaveformManager() const { return m_WaveformManager; }
  // Indexes the next slice of the waveform folder's start-up scan, when
  // generation is still that of the manager; queues the slice after it
  // while the scan lasts.
  void ContinueWaveformScan(uint64_t generation);
  SdrManager* GetSdrManager() const { return m_SdrManager; }
  const std::string& GetCredentialsFile() const { return m_CredentialsFile; }
  const std::list<Channel*>& GetOpenChannels() const { return m_OpenChannels; }
  unsigned GetInUseCount() const { return m_InUseCount; }
  uint32_t GetCurrentUsage() const { return m_CurrentUsage; }
  uint32_t GetMaxUsage() const { return m_MaxUsage; }
  const MonitoringSettings& GetMonitoringSettings() const { return m_MonitoringSettings; }
  const WaveformManager::Settings& GetWaveformManagerSettings() const {
    return m_WaveformManagerSettings;
  }
  const SdrManager::Settings& GetSdrManagerSettings() const { return m_SdrManagerSettings; }
  const std::string& GetSslRootsFile() const { return m_SslRootsFile; }
  Ambrel::Timer* GetUsageRefreshTimer() const { return m_UsageRefreshTimer; }

 private:
  bool CreateLogger();
  void DestroyLogger();
  bool CreateEventProcessor();
  void DestroyEventProcessor();
  bool ProcessStart();
  bool CreateGrpcTask();
  void DestroyGrpcTask();
  // The shared channel of the configured endpoint with the default
  // credentials, made before the first SPEAK needs it; the fallback
  // endpoint's too, when one is configured, so that the first call that
  // falls back finds it connected.
  bool CreateDefaultServiceChannel();
  // Makes and connects the shared channel of target with the default
  // credentials, and logs its creation and failure.
  bool ConnectServiceChannel(const std::string& target);
  bool CreateWaveformManager(const WaveformManager::Settings& settings);
  void DestroyWaveformManager();
  bool CreateSdrManager(const SdrManager::Settings& settings);
  void DestroySdrManager();
  void Cleanup();
  void ProcessShutdown();
  // Gives the gRPC library its own log function back, if the engine had
  // redirected it; every way the event-processor thread ends passes here.
  void DisableGrpcLogRedirection();
  void ProduceOutputs(const MonitoringHandler& handler);
  bool SetEnv(const char* name, const std::string& value);

  std::string m_Name;
  mrcp_engine_t* m_HostEngine;  // the host's engine record
  EngineEnv* m_Env;  // not owned
  Ambrel::Clock m_Clock;  // read from m_Env once, at construction
  Ambrel::AsyncEventTimerProcessor* m_EventProcessor;  // owned; made by m_Env
  Task* m_Task;  // owned
  Credentials m_DefaultCredentials;
  std::string m_CredentialsFile;
  std::map<std::string, Credentials> m_CredentialsMap;
  // By target and credentials; the credentials are held by the key so that
  // their address cannot be reused by others while the entry lives.
  std::map<std::pair<std::string, Credentials>, ServiceChannel> m_ServiceChannels;
  CircuitBreaker m_Breaker;  // of every target the channels call
  std::string m_SslRootsFile;
  SharedSynthesisTable m_SharedSyntheses{this};
  WaveformManager* m_WaveformManager;  // owned
  // Counts the managers made and destroyed, so that a scan slice queued for
  // one is not applied to another.
  uint64_t m_WaveformGeneration = 0;
  int64_t m_WaveformScanStart = 0;  // APR time the scan began
  SdrManager* m_SdrManager;  // owned
  SynthSettings m_SynthSettings;
  WaveformManager::Settings m_WaveformManagerSettings;
  SdrManager::Settings m_SdrManagerSettings;
  MonitoringSettings m_MonitoringSettings;
  EngineMetrics m_Metrics;
  std::list<Channel*> m_OpenChannels;  // not owned (the host's bindings own channels)
  unsigned m_InUseCount;
  // Not owned: the processor's timer queue disposes of it.
  Ambrel::Timer* m_UsageRefreshTimer;
  uint32_t m_CurrentUsage;
  uint32_t m_MaxUsage;
  bool m_LoggerCreated;
  bool m_GrpcLogRedirected;  // GrpcLogRedirector is installed; event-processor thread
};

}  // namespace VXS

namespace VXS {

// True on engine's event-processor thread, or without an engine (a channel
// made for parsing alone).
inline bool RunsOnProcessorThread(const Engine* engine) {
  return !engine || engine->IsProcessorThread();
}

}  // namespace VXS

// Stops a debug build where a handler that belongs to the event-processor
// thread runs on another one; compiled out of release builds.
#define VXS_ASSERT_PROCESSOR_THREAD(engine) assert(::VXS::RunsOnProcessorThread(engine))
