// TCP load balancer: one accept task hands each client connection, in strict
// rotation, to one of several worker addresses and relays bytes both ways,
// adding an "X-Forwarded-For" line after the first line the client sends.
// Runs on the process-wide runtime; free of Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

// What the accept task reports once its listener is bound (or failed to bind).
struct BalancerReport {
  bool ok;  // true: `text` is the bound "ip:port"; false: the error text
  std::string text;
};

struct BalancerState;

// Owner of one running balancer. Destroying it stops the accept loop, like
// stop(); forwarded connections are never cut and end by themselves.
class Balancer {
 public:
  // Spawns the accept task on the runtime (creating the runtime on first use;
  // that is the only thing that may throw). `workers` must not be empty.
  // A forwarded connection on which nothing moves for `idle_limit` (before
  // its first line, or while relaying) is closed.
  Balancer(std::string host, std::uint16_t port, std::vector<std::string> workers,
           std::chrono::seconds idle_limit = std::chrono::seconds(60));
  ~Balancer();
  Balancer(const Balancer&) = delete;
  Balancer& operator=(const Balancer&) = delete;

  // Blocks up to `timeout` for the start-up report; nullopt when none came.
  std::optional<BalancerReport> wait_started(std::chrono::milliseconds timeout);

  // Stops accepting and closes the listener (asynchronously; idempotent).
  void stop();

 private:
  std::shared_ptr<BalancerState> state_;
};

}  // namespace kiv
