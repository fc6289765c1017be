// HostKit: the public face of KitCore (KitCore.h holds the logic).

#include "vxhost/HostKit.h"

#include "KitCore.h"

namespace vxhost {
namespace {

// Cores whose module may still run: kept reachable for the rest of the
// process, on purpose (see "Shutdown" in HostKit.h).
std::mutex g_AbandonedMutex;
std::vector<KitCore*>* g_Abandoned = nullptr;

void KeepForever(KitCore* core) {
  std::lock_guard<std::mutex> lock(g_AbandonedMutex);
  if (!g_Abandoned) g_Abandoned = new std::vector<KitCore*>();
  g_Abandoned->push_back(core);
}

}  // namespace

HostKit::HostKit(Options options) : m_Core(new KitCore(std::move(options))) {}

HostKit::~HostKit() {
  if (m_Core->Shutdown()) {
    delete m_Core;
  } else {
    KeepForever(m_Core);
  }
}

bool HostKit::ok() const { return m_Core->ok(); }
const HostKit::Options& HostKit::options() const { return m_Core->options(); }
const apt_dir_layout_t* HostKit::layout() const { return m_Core->layout(); }

bool HostKit::LoadModule(const std::string& path, std::string* error) {
  return m_Core->LoadModule(path, error);
}
mrcp_engine_t* HostKit::CreateEngine() { return m_Core->CreateEngine(); }
mrcp_engine_t* HostKit::engine() const { return m_Core->engine(); }
bool HostKit::OpenEngine(std::chrono::milliseconds timeout, bool* opened) {
  return m_Core->OpenEngine(timeout, opened);
}
bool HostKit::CloseEngine(std::chrono::milliseconds timeout) {
  return m_Core->CloseEngine(timeout);
}
void HostKit::DestroyEngine() { m_Core->DestroyEngine(); }
void HostKit::UnloadModule() { m_Core->UnloadModule(); }
int HostKit::EngineOpenResponses() const { return m_Core->EngineOpenResponses(); }
int HostKit::EngineCloseResponses() const { return m_Core->EngineCloseResponses(); }

Channel* HostKit::CreateChannel(const std::string& id, uint16_t sampling_rate,
                                const std::map<std::string, std::string>& attribs) {
  return m_Core->CreateChannel(id, sampling_rate, attribs);
}
bool HostKit::OpenChannel(Channel* channel, std::chrono::milliseconds timeout, bool* status) {
  return m_Core->OpenChannel(channel, timeout, status);
}
bool HostKit::ReleaseChannel(Channel* channel) { return m_Core->ReleaseChannel(channel); }
bool HostKit::OpenChannelAsync(Channel* channel) { return m_Core->OpenChannelAsync(channel); }
bool HostKit::CloseChannelAsync(Channel* channel) { return m_Core->CloseChannelAsync(channel); }
bool HostKit::CloseChannel(Channel* channel, std::chrono::milliseconds timeout) {
  return m_Core->CloseChannel(channel, timeout);
}
void HostKit::DestroyChannel(Channel* channel) { m_Core->DestroyChannel(channel); }

mrcp_message_t* HostKit::NewRequest(Channel* channel, mrcp_synthesizer_method_id method) {
  return m_Core->NewRequest(channel, method);
}
void HostKit::Send(Channel* channel, mrcp_message_t* request) { m_Core->Send(channel, request); }
bool HostKit::SendText(Channel* channel, const std::string& mrcp_text, std::string* error,
                       mrcp_request_id* request_id) {
  return m_Core->SendText(channel, mrcp_text, error, request_id);
}
void HostKit::SetTranscriptCallback(TranscriptCallback callback) {
  m_Core->SetTranscriptCallback(std::move(callback));
}

}  // namespace vxhost
