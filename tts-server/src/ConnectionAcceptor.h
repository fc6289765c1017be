#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace grpc {
namespace experimental {
class ExternalConnectionAcceptor;
}
}  // namespace grpc

namespace VxTts {

class CallCounters;

// The service's listening socket. Its own thread accepts connections and
// hands each to gRPC, remembering which socket serves which peer so that a
// call's connection can be cut for real (the "drop" fault). Listen, Start
// and StopAccepting are called by the owner (TtsServer) from one thread;
// Drop and CloseConnections are thread-safe. Owned by TtsServer;
// StopAccepting (or the destructor) joins the thread.
class ConnectionAcceptor {
 public:
  // counters, when given, count every accepted connection; not owned.
  explicit ConnectionAcceptor(CallCounters* counters = nullptr);
  ~ConnectionAcceptor();
  ConnectionAcceptor(const ConnectionAcceptor&) = delete;
  ConnectionAcceptor& operator=(const ConnectionAcceptor&) = delete;

  // Binds a loopback address ("127.0.0.1" or another 127/8 address, "::1",
  // "[::1]" or "localhost", which means 127.0.0.1); port 0 picks a free port.
  // Any other address is refused.
  bool Listen(const std::string& address, int port, std::string* error);
  int port() const { return m_Port; }
  // "127.0.0.1:PORT" or "[::1]:PORT".
  std::string target() const;

  // Starts accepting; takes ownership of the gRPC hand-over point.
  bool Start(std::unique_ptr<grpc::experimental::ExternalConnectionAcceptor> handoff,
             std::string* error);
  // Shuts down the connection whose gRPC peer string (ServerContext::peer(),
  // e.g. "ipv4:127.0.0.1:40000") is peer. False when no live connection
  // matches.
  bool Drop(const std::string& peer);
  // Stops accepting and closes the listening socket; idempotent.
  void StopAccepting();
  // Shuts down every connection still open (gRPC then closes them).
  void CloseConnections();

 private:
  struct Connection {
    int fd;           // owned by gRPC once handed over; never closed here
    uint64_t cookie;  // kernel socket identity, to tell a reused fd apart
  };

  void Run();
  void Remember(int fd, const std::string& peer);

  CallCounters* m_Counters;
  int m_ListenFd = -1;
  int m_WakeFd = -1;  // eventfd that ends Run
  int m_Port = 0;
  bool m_Ipv6 = false;
  std::string m_Host;  // numeric host of the listening socket
  std::unique_ptr<grpc::experimental::ExternalConnectionAcceptor> m_Handoff;
  std::thread m_Thread;

  std::mutex m_Mutex;                               // guards m_Connections
  std::map<std::string, Connection> m_Connections;  // by gRPC peer string
};

}  // namespace VxTts
