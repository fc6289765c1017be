// The engine's gRPC channels to the service: one per target and credentials,
// shared by all MRCP channels, so that a new call neither connects nor
// shakes hands again and the engine thread does not build a channel, its
// stub and their locks for every MRCP channel it opens.
#include <grpc/grpc.h>
#include <grpcpp/create_channel.h>

#include "Channel.h"
#include "Engine.h"
#include "Plugin.h"

namespace VXS {

namespace {

// Replies of long texts at 16 kHz exceed the library's default limit of
// 4 MiB; the longest input the service accepts stays well below this.
const int kMaxReceiveMessageSize = 64 * 1024 * 1024;
// A channel that failed to connect fails calls at once until its next
// attempt; the attempts stay this close together so that a service back
// from a restart is reached again within about that time.
const int kMaxReconnectBackoffMs = 2000;

int ClampToInt(int64_t value) {
  return value > INT32_MAX ? INT32_MAX : static_cast<int>(value);
}

}  // namespace

void Engine::ComposeChannelArguments(const SynthSettings& settings,
                                     grpc::ChannelArguments& arguments) {
  arguments.SetMaxReceiveMessageSize(kMaxReceiveMessageSize);
  arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, kMaxReconnectBackoffMs);
  if (settings.m_KeepaliveTime <= 0) return;
  arguments.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, ClampToInt(settings.m_KeepaliveTime));
  arguments.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, ClampToInt(settings.m_KeepaliveTimeout));
  // The connection is kept alive between calls too (a quiet night is
  // exactly that), and the library's default of two pings without data
  // would stop the pings after two periods.
  arguments.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
  arguments.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
}

Engine::ServiceChannel Engine::FindServiceChannel(const std::string& target,
                                                  const Credentials& credentials) const {
  auto it = m_ServiceChannels.find(std::make_pair(target, credentials));
  return it == m_ServiceChannels.end() ? ServiceChannel() : it->second;
}

Engine::ServiceChannel Engine::CreateServiceChannel(const std::string& target,
                                                    const Credentials& credentials) {
  ServiceChannel channel;
  if (!credentials) return channel;
  grpc::ChannelArguments arguments;
  ComposeChannelArguments(m_SynthSettings, arguments);
  channel.m_Channel = grpc::CreateCustomChannel(target, credentials, arguments);
  if (!channel.m_Channel) return channel;
  channel.m_Stub = google::cloud::texttospeech::v1::TextToSpeech::NewStub(channel.m_Channel);
  if (channel.m_Stub) m_ServiceChannels[std::make_pair(target, credentials)] = channel;
  return channel;
}

bool Engine::CreateDefaultServiceChannel() {
  const std::string target =
      Channel::ComposeEndpoint(m_SynthSettings.m_ServiceUri, m_SynthSettings.m_Region);
  const bool made = ConnectServiceChannel(target);
  const std::string fallback = ComposeFallbackTarget();
  // The fallback takes calls only from an open breaker.
  if (m_Breaker.IsEnabled() && !fallback.empty() && fallback != target) {
    ConnectServiceChannel(fallback);
  }
  return made;
}

bool Engine::ConnectServiceChannel(const std::string& target) {
  apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_INFO, "Create gRPC Channel [%s]", target.c_str());
  ServiceChannel channel = CreateServiceChannel(target, m_DefaultCredentials);
  if (!channel.m_Channel) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create gRPC Channel");
    return false;
  }
  if (!channel.m_Stub) {
    apt_log(VXS_PLUGIN, APT_LOG_MARK, APT_PRIO_WARNING, "Failed to Create gRPC Speech Stub");
    return false;
  }
  // The connection is made now, so that the first call of the first MRCP
  // channel does not wait for it (nor for its TLS handshake).
  channel.m_Channel->GetState(true);
  return true;
}

std::string Engine::ComposeFallbackTarget() const {
  if (m_SynthSettings.m_FallbackServiceUri.empty() && m_SynthSettings.m_FallbackRegion.empty()) {
    return std::string();
  }
  return Channel::ComposeEndpoint(m_SynthSettings.m_FallbackServiceUri,
                                  m_SynthSettings.m_FallbackRegion);
}

}  // namespace VXS
