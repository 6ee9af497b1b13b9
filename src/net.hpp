// Listener set-up and address formatting shared by servers and the balancer.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <string>
#include <variant>

namespace kiv {

struct BoundListener {
  int fd;            // non-blocking, close-on-exec, listening
  int family;        // AF_INET, AF_INET6 or AF_UNIX
  std::string addr;  // "ip:port", "[ip6]:port" or "unix:/path"
};

// Resolves host (IPv4 literal, IPv6 literal, else a name lookup), then tries
// each address: socket, SO_REUSEADDR, bind, listen(128). Blocking (the lookup
// may take time): run it on the blocking pool. On failure, the error text:
// "<strerror> (os error N)" for the last address tried, or a resolver message.
std::variant<BoundListener, std::string> bind_listener(const std::string& host, std::uint16_t port);

// Takes a listening socket bound by someone else (a parent process that
// shares it among workers, or a Unix domain socket): a close-on-exec,
// non-blocking duplicate of fd, so the caller keeps its own descriptor.
std::variant<BoundListener, std::string> adopt_listener(int fd);

// Resolves host:port for connecting (literal or name), blocking.
std::variant<std::vector<asio::ip::tcp::endpoint>, std::string> resolve_endpoints(
    const std::string& host, std::uint16_t port);

// "1.2.3.4" or "::1" (no brackets, no port).
std::string ip_text(const asio::ip::address& a);
// "1.2.3.4:80" or "[::1]:80".
std::string endpoint_text(const asio::ip::tcp::endpoint& ep);

// "<system message> (os error N)".
std::string os_error_text(int err);

}  // namespace kiv
