// Starting, watching and stopping servers: the process-wide registry of
// running servers, keyed by id.
#include <map>
#include <mutex>

#include "pyapi/server.hpp"

namespace kiv {

namespace {
std::mutex registry_mutex;
std::map<std::uint64_t, std::string>& registry() {
  static auto* r = new std::map<std::uint64_t, std::string>();
  return *r;
}
}  // namespace

std::size_t running_server_count() {
  std::lock_guard lock(registry_mutex);
  return registry().size();
}

}  // namespace kiv
