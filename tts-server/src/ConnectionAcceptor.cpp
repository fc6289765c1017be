#include "ConnectionAcceptor.h"

#include "CallCounters.h"

#include <arpa/inet.h>
#include <grpcpp/server_builder.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef SO_COOKIE
#define SO_COOKIE 57
#endif

namespace VxTts {
namespace {

constexpr int kBacklog = 512;
constexpr int kErrorBackoffMs = 10;

uint64_t SocketCookie(int fd) {
  uint64_t cookie = 0;
  socklen_t len = sizeof(cookie);
  if (getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &len) != 0) return 0;
  return cookie;
}

// The peer string gRPC reports for a connection: "ipv4:A.B.C.D:PORT" or
// "ipv6:[ADDR]:PORT".
std::string PeerString(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "";
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof(host));
    return std::string("ipv4:") + host + ":" + std::to_string(ntohs(in->sin_port));
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
  inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
  return std::string("ipv6:[") + host + "]:" + std::to_string(ntohs(in6->sin6_port));
}

// gRPC may percent-encode the brackets of an IPv6 peer ("%5B::1%5D").
std::string UnescapePeer(const std::string& peer) {
  std::string out;
  for (size_t i = 0; i < peer.size(); ++i) {
    if (peer[i] == '%' && i + 2 < peer.size()) {
      const std::string code = peer.substr(i + 1, 2);
      if (code == "5B" || code == "5b") {
        out += '[';
        i += 2;
        continue;
      }
      if (code == "5D" || code == "5d") {
        out += ']';
        i += 2;
        continue;
      }
    }
    out += peer[i];
  }
  return out;
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

ConnectionAcceptor::~ConnectionAcceptor() { StopAccepting(); }

ConnectionAcceptor::ConnectionAcceptor(CallCounters* counters) : m_Counters(counters) {}

bool ConnectionAcceptor::Listen(const std::string& address, int port, std::string* error) {
  if (m_ListenFd >= 0) {
    *error = "already listening";
    return false;
  }
  if (port < 0 || port > 65535) {
    *error = "port " + std::to_string(port) + " is out of range";
    return false;
  }
  std::string host = address;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host == "localhost" || host.empty()) host = "127.0.0.1";

  sockaddr_storage addr{};
  socklen_t addr_len = 0;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    if ((ntohl(in4->sin_addr.s_addr) >> 24) != 127) {
      *error = "address " + address + " is not a loopback address";
      return false;
    }
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    addr_len = sizeof(sockaddr_in);
    m_Ipv6 = false;
  } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) {
      *error = "address " + address + " is not a loopback address";
      return false;
    }
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    addr_len = sizeof(sockaddr_in6);
    m_Ipv6 = true;
  } else {
    *error = "address " + address + " is not a numeric loopback address or localhost";
    return false;
  }

  const int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = ErrnoText("socket");
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (m_Ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0 || listen(fd, kBacklog) != 0) {
    *error = ErrnoText(("bind/listen on " + address + ":" + std::to_string(port)).c_str());
    close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t bound_len = sizeof(bound);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
  m_Port = ntohs(m_Ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  m_Host = host;
  m_ListenFd = fd;
  return true;
}

std::string ConnectionAcceptor::target() const {
  const std::string port = std::to_string(m_Port);
  return m_Ipv6 ? "[" + m_Host + "]:" + port : m_Host + ":" + port;
}

bool ConnectionAcceptor::Start(
    std::unique_ptr<grpc::experimental::ExternalConnectionAcceptor> handoff, std::string* error) {
  if (m_ListenFd < 0 || m_Thread.joinable()) {
    *error = "acceptor not listening or already started";
    return false;
  }
  m_WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_WakeFd < 0) {
    *error = ErrnoText("eventfd");
    return false;
  }
  m_Handoff = std::move(handoff);
  m_Thread = std::thread([this] { Run(); });
  return true;
}

void ConnectionAcceptor::Run() {
  for (;;) {
    pollfd fds[2] = {{m_ListenFd, POLLIN, 0}, {m_WakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      poll(nullptr, 0, kErrorBackoffMs);
      continue;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    const int fd = accept4(m_ListenFd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors or memory: back off instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        poll(nullptr, 0, kErrorBackoffMs);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (m_Counters) m_Counters->RecordConnection();
    try {
      Remember(fd, PeerString(peer));
    } catch (...) {
      close(fd);  // out of memory: refuse this connection, keep serving
      continue;
    }
    grpc::experimental::ExternalConnectionAcceptor::NewConnectionParameters params;
    params.listener_fd = m_ListenFd;
    params.fd = fd;  // gRPC owns it from here, even when it refuses it
    m_Handoff->HandleNewConnection(&params);
  }
}

void ConnectionAcceptor::Remember(int fd, const std::string& peer) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  // Forget connections gRPC has closed since (their fd is gone or reused).
  for (auto it = m_Connections.begin(); it != m_Connections.end();) {
    if (SocketCookie(it->second.fd) != it->second.cookie)
      it = m_Connections.erase(it);
    else
      ++it;
  }
  m_Connections[peer] = Connection{fd, SocketCookie(fd)};
}

bool ConnectionAcceptor::Drop(const std::string& peer) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  auto it = m_Connections.find(UnescapePeer(peer));
  if (it == m_Connections.end()) return false;
  const Connection conn = it->second;
  m_Connections.erase(it);
  // The fd belongs to gRPC: act only if it is still the same socket.
  if (conn.cookie == 0 || SocketCookie(conn.fd) != conn.cookie) return false;
  return shutdown(conn.fd, SHUT_RDWR) == 0;
}

void ConnectionAcceptor::CloseConnections() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  for (const auto& [peer, conn] : m_Connections) {
    if (conn.cookie != 0 && SocketCookie(conn.fd) == conn.cookie) shutdown(conn.fd, SHUT_RDWR);
  }
  m_Connections.clear();
}

void ConnectionAcceptor::StopAccepting() {
  if (m_Thread.joinable()) {
    const uint64_t one = 1;
    if (write(m_WakeFd, &one, sizeof(one)) < 0) {
      // eventfd writes fail only on counter overflow; the thread is awake then anyway.
    }
    m_Thread.join();
  }
  if (m_WakeFd >= 0) close(m_WakeFd);
  if (m_ListenFd >= 0) close(m_ListenFd);
  m_WakeFd = m_ListenFd = -1;
  m_Handoff.reset();
}

}  // namespace VxTts
