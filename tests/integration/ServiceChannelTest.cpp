// The engine's gRPC channels to the service: one per target and credentials,
// made when the engine starts, shared by every MRCP channel, kept alive with
// pings and reconnected after the service went away.
#include <absl/synchronization/mutex.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "ModuleFixture.h"

namespace vxtest {
namespace {

class ServiceChannelTest : public ModuleFixture {
 protected:
  // Restarts the service on the port it had, as a service restarted by its
  // operator comes back.
  void RestartServer() {
    const int port = m_Server->port();
    m_Server->Shutdown();
    VxTts::TtsServerOptions options;
    options.port = port;
    std::string error;
    ASSERT_TRUE(m_Server->Start(options, &error)) << error;
  }

  // Sends a SPEAK and returns the status of its response; a SPEAK that was
  // accepted is waited for to its end.
  int SpeakStatus(vxhost::Channel* channel, const std::string& body) {
    Send(channel, SpeakText(body, "text/plain"));
    vxhost::ReceivedMessage response = Next(channel);
    if (response.status_code == 200) {
      vxhost::ReceivedMessage complete = Next(channel, std::chrono::seconds(30));
      EXPECT_EQ(complete.method_name, "SPEAK-COMPLETE") << complete.text;
      return complete.completion_cause == 0 ? 200 : 500 + complete.completion_cause;
    }
    return response.status_code;
  }
};

TEST_F(ServiceChannelTest, ChannelsShareTheEngineChannelMadeAtStart) {
  StartServer();
  WriteConfig();
  StartEngine();
  const std::string created = "Create gRPC Channel [" + m_Server->target() + "]";
  EXPECT_EQ(m_Log->Count(created), 1u);
  // The connection is made at start, before any SPEAK asks for it.
  for (int i = 0; i < 500 && m_Server->calls().Connections() == 0; ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(m_Server->calls().Connections(), 1u);

  vxhost::Channel* first = OpenChannel("first");
  vxhost::Channel* second = OpenChannel("second");
  SpeakToCompletion(first, "one");
  SpeakToCompletion(second, "two");
  // Both at once, and a third channel that opens while they speak.
  Send(first, SpeakText("three", "text/plain"));
  Send(second, SpeakText("four", "text/plain"));
  vxhost::Channel* third = OpenChannel("third");
  SpeakToCompletion(third, "five");
  for (vxhost::Channel* channel : {first, second}) {
    EXPECT_EQ(Next(channel).status_code, 200);
    EXPECT_EQ(Next(channel).method_name, "SPEAK-COMPLETE");
  }
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 5u);
  EXPECT_EQ(m_Server->calls().Connections(), 1u);
  EXPECT_EQ(m_Log->Count("Create gRPC Channel"), 1u);
  EXPECT_EQ(first->AudioBytes(), std::string("onethree").size() * 320);
}

TEST_F(ServiceChannelTest, ChannelOfAnotherServiceUriIsMadeOnceAndShared) {
  StartServer();
  WriteConfig();
  StartEngine();
  // The service by another name is another target: a channel of its own,
  // made by the first MRCP channel that names it and found by the next.
  const std::string other = "localhost:" + std::to_string(m_Server->port());
  const std::string header = "Vendor-Specific-Parameters: service-uri=" + other;
  vxhost::Channel* first = OpenChannel("first");
  SpeakToCompletion(first, "one", "text/plain", {header});
  vxhost::Channel* second = OpenChannel("second");
  SpeakToCompletion(second, "two", "text/plain", {header});
  EXPECT_EQ(m_Log->Count("Create gRPC Channel [" + other + "] <first@vxs>"), 1u);
  EXPECT_EQ(m_Log->Count("Create gRPC Channel [" + other + "]"), 1u);
  EXPECT_EQ(m_Log->Count("Create gRPC Channel"), 2u);
  // The configured target's channel still serves the channels that name
  // nothing.
  vxhost::Channel* plain = OpenChannel("plain");
  SpeakToCompletion(plain, "three");
  EXPECT_EQ(m_Log->Count("Create gRPC Channel"), 2u);
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 3u);
}

TEST_F(ServiceChannelTest, SharedChannelReconnectsAfterTheServiceRestarted) {
  StartServer();
  // With the breaker on, the SPEAKs made while the service is away open it;
  // a short cool-down lets the SPEAKs below reach the service again as soon
  // as it is back (a trial call then closes the breaker).
  WriteConfig("breaker-failures=\"5\" breaker-cooldown=\"200\"");
  StartEngine();
  vxhost::Channel* before = OpenChannel("before");
  SpeakToCompletion(before, "before");

  // Restarted while idle: the next call, on an old or a new MRCP channel,
  // goes through a new connection.
  ASSERT_NO_FATAL_FAILURE(RestartServer());
  vxhost::Channel* after = OpenChannel("after");
  SpeakToCompletion(after, "after");
  SpeakToCompletion(before, "again");
  EXPECT_EQ(m_Server->calls().Connections(), 2u);

  // Down while a SPEAK needs it: that SPEAK fails as any unreachable
  // service fails it, and once the service is back the channel reaches it
  // again within its reconnect back-off.
  m_Server->Shutdown();
  EXPECT_EQ(SpeakStatus(before, "down"), 407);
  VxTts::TtsServerOptions options;
  options.port = m_Server->port();
  std::string error;
  ASSERT_TRUE(m_Server->Start(options, &error)) << error;
  vxhost::Channel* late = OpenChannel("late");
  int status = 0;
  for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
    status = SpeakStatus(late, "back");
    if (status != 200) std::this_thread::sleep_for(200ms);
  }
  EXPECT_EQ(status, 200);
  EXPECT_EQ(m_Log->Count("Create gRPC Channel"), 1u);
}

// A loopback relay between the module and the service that can freeze the
// connections it carries: their bytes stop flowing while both sockets stay
// open, as when a firewall forgets an idle connection. New connections are
// relayed as usual. It tells when the client gave a frozen connection up.
class FreezingRelay {
 public:
  explicit FreezingRelay(int target_port) : m_TargetPort(target_port) {
    m_ListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_ListenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(m_ListenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_Port = ntohs(address.sin_port);
    listen(m_ListenFd, 16);
    m_Thread = std::thread([this] { Run(); });
  }
  ~FreezingRelay() {
    m_Stop = true;
    m_Thread.join();
    for (const Pair& pair : m_Pairs) {
      close(pair.client);
      close(pair.service);
    }
    close(m_ListenFd);
  }
  int port() const { return m_Port; }
  void FreezeAll() { m_FreezeRequested = true; }
  size_t FrozenClosedByClient() const { return m_FrozenClosed; }

 private:
  struct Pair {
    int client;
    int service;
    bool frozen;
    bool closed;
  };

  void Run() {
    while (!m_Stop) {
      if (m_FreezeRequested.exchange(false)) {
        for (Pair& pair : m_Pairs) pair.frozen = true;
      }
      std::vector<pollfd> fds{{m_ListenFd, POLLIN, 0}};
      for (const Pair& pair : m_Pairs) {
        // A frozen pair is only watched for the client's close.
        fds.push_back({pair.closed ? -1 : pair.client, static_cast<short>(POLLIN), 0});
        fds.push_back({pair.closed || pair.frozen ? -1 : pair.service, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      // Only the pairs that were polled: one accepted now has no entry yet.
      const size_t polled = m_Pairs.size();
      if (fds[0].revents & POLLIN) Accept();
      for (size_t i = 0; i < polled; ++i) {
        Pair& pair = m_Pairs[i];
        if (fds[1 + 2 * i].revents) Forward(pair, pair.client, pair.service);
        if (fds[2 + 2 * i].revents) Forward(pair, pair.service, pair.client);
      }
    }
  }

  void Accept() {
    const int client = accept4(m_ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int service = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(m_TargetPort));
    if (connect(service, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      close(client);
      close(service);
      return;
    }
    m_Pairs.push_back({client, service, false, false});
  }

  void Forward(Pair& pair, int from, int to) {
    char buffer[16384];
    const ssize_t length = read(from, buffer, sizeof(buffer));
    if (length <= 0) {
      if (pair.frozen && from == pair.client) ++m_FrozenClosed;
      pair.closed = true;
      shutdown(pair.client, SHUT_RDWR);
      shutdown(pair.service, SHUT_RDWR);
      return;
    }
    // Bytes of the client to a frozen connection are swallowed.
    if (!pair.frozen && write(to, buffer, static_cast<size_t>(length)) != length) {
      pair.closed = true;
    }
  }

  int m_TargetPort;
  int m_ListenFd = -1;
  int m_Port = 0;
  std::vector<Pair> m_Pairs;  // relay thread only
  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_FreezeRequested{false};
  std::atomic<size_t> m_FrozenClosed{0};
  std::thread m_Thread;
};

TEST_F(ServiceChannelTest, KeepalivePingsFindADeadConnectionBeforeTheNextCall) {
  StartServer();
  FreezingRelay relay(m_Server->port());
  const std::string target = "127.0.0.1:" + std::to_string(relay.port());
  WriteConfig("service-uri=\"" + target + "\" keepalive-time=\"200\" keepalive-timeout=\"1000\"");
  StartEngine();
  vxhost::Channel* channel = OpenChannel("night");
  SpeakToCompletion(channel, "evening");

  // The connection dies silently while no call is made; the pings notice
  // and the channel lets it go, so the morning's call takes a new one.
  relay.FreezeAll();
  bool given_up = false;
  for (int i = 0; i < 500 && !given_up; ++i) {
    given_up = relay.FrozenClosedByClient() > 0;
    if (!given_up) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(given_up) << "the frozen connection was never given up";
  SpeakToCompletion(channel, "morning");
  EXPECT_EQ(m_Server->calls().SynthesizeCalls(), 2u);
  EXPECT_EQ(m_Server->calls().Connections(), 2u);
}

// Debian's abseil checks the order of every lock it takes; the engine turns
// that off for the process, so a lock-order inversion elsewhere in the host
// is no longer reported (and no longer aborts it).
TEST_F(ServiceChannelTest, EngineTurnsAbseilLockOrderChecksOff) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer reports the inversion itself";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kAbort);
        StartServer();
        WriteConfig();
        StartEngine();
        absl::Mutex a;
        absl::Mutex b;
        {
          absl::MutexLock first(&a);
          absl::MutexLock second(&b);
        }
        {
          absl::MutexLock first(&b);
          absl::MutexLock second(&a);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vxtest
