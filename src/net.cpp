#include "net.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kiv {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer (maybe not buf).
  const char* msg = strerror_r(err, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(err) + ")";
}

std::string ip_text(const asio::ip::address& a) {
  return a.to_string();
}

std::string endpoint_text(const asio::ip::tcp::endpoint& ep) {
  if (ep.address().is_v6())
    return "[" + ep.address().to_string() + "]:" + std::to_string(ep.port());
  return ep.address().to_string() + ":" + std::to_string(ep.port());
}

std::variant<std::vector<asio::ip::tcp::endpoint>, std::string> resolve_endpoints(
    const std::string& host, std::uint16_t port) {
  std::vector<asio::ip::tcp::endpoint> out;
  asio::error_code ec;
  auto v4 = asio::ip::make_address_v4(host, ec);
  if (!ec) {
    out.emplace_back(v4, port);
    return out;
  }
  auto v6 = asio::ip::make_address_v6(host, ec);
  if (!ec) {
    out.emplace_back(v6, port);
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    std::string text = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    return "failed to lookup address information: " + text;
  }
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      auto* sa = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
      asio::ip::address_v4::bytes_type b;
      std::memcpy(b.data(), &sa->sin_addr, 4);
      out.emplace_back(asio::ip::address_v4(b), port);
    } else if (ai->ai_family == AF_INET6) {
      auto* sa = reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
      asio::ip::address_v6::bytes_type b;
      std::memcpy(b.data(), &sa->sin6_addr, 16);
      out.emplace_back(asio::ip::address_v6(b, sa->sin6_scope_id), port);
    }
  }
  freeaddrinfo(res);
  if (out.empty()) return std::string("could not resolve to any address");
  return out;
}

std::variant<BoundListener, std::string> bind_listener(const std::string& host,
                                                       std::uint16_t port) {
  auto resolved = resolve_endpoints(host, port);
  if (auto* err = std::get_if<std::string>(&resolved)) return *err;
  int last_error = 0;
  for (const auto& ep : std::get<0>(resolved)) {
    const int family = ep.address().is_v6() ? AF_INET6 : AF_INET;
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        ::bind(fd, ep.data(), static_cast<socklen_t>(ep.size())) < 0 || ::listen(fd, 128) < 0) {
      last_error = errno;
      ::close(fd);
      continue;
    }
    BoundListener bound{fd, family, host + ":" + std::to_string(port)};
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
      asio::ip::tcp::endpoint le;
      std::memcpy(le.data(), &local, len);
      le.resize(len);
      bound.addr = endpoint_text(le);
    }
    return bound;
  }
  return os_error_text(last_error);
}

std::variant<BoundListener, std::string> adopt_listener(int fd) {
  int listening = 0;
  socklen_t optlen = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen) < 0)
    return os_error_text(errno);
  if (!listening) return std::string("fd ") + std::to_string(fd) + " is not a listening socket";
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) < 0) return os_error_text(errno);
  const int family = local.ss_family;
  if (family != AF_INET && family != AF_INET6 && family != AF_UNIX)
    return std::string("fd ") + std::to_string(fd) + " is not an IP or Unix domain socket";
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return os_error_text(errno);
  // The flag belongs to the open file, which forked workers share; every one
  // of them accepts through the reactor, so non-blocking suits them all.
  const int flags = ::fcntl(own, F_GETFL);
  if (flags < 0 || ::fcntl(own, F_SETFL, flags | O_NONBLOCK) < 0) {
    const int err = errno;
    ::close(own);
    return os_error_text(err);
  }
  BoundListener bound{own, family, {}};
  if (family == AF_UNIX) {
    const auto* un = reinterpret_cast<const sockaddr_un*>(&local);
    const std::size_t max = len > offsetof(sockaddr_un, sun_path)
                                ? len - offsetof(sockaddr_un, sun_path)
                                : 0;
    bound.addr = "unix:" + std::string(un->sun_path, strnlen(un->sun_path, max));
  } else {
    asio::ip::tcp::endpoint le;
    std::memcpy(le.data(), &local, len);
    le.resize(len);
    bound.addr = endpoint_text(le);
  }
  return bound;
}

}  // namespace kiv
