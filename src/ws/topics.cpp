#include "ws/topics.hpp"

#include <mutex>

#include "ws/session.hpp"

namespace kiv::ws {

void Topics::add(std::shared_ptr<WsSession> session, std::string_view topic) {
  std::unique_lock lock(mu_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) it = topics_.emplace(std::string(topic), Members{}).first;
  WsSession* key = session.get();
  it->second.emplace(key, std::move(session));
}

void Topics::remove(WsSession* session, std::string_view topic) {
  std::shared_ptr<WsSession> last_ref;  // released after the lock
  std::unique_lock lock(mu_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) return;
  if (auto m = it->second.find(session); m != it->second.end()) {
    last_ref = std::move(m->second);
    it->second.erase(m);
  }
  if (it->second.empty()) topics_.erase(it);
}

Topics::Published Topics::publish(std::string_view topic, Opcode op, std::string payload) {
  Published out;
  // Framed before the lock: subscribing never waits for it.
  SharedFrame frame(op, std::move(payload));
  std::shared_lock lock(mu_);
  auto it = topics_.find(topic);
  if (it == topics_.end()) return out;
  for (const auto& [key, session] : it->second) {
    if (session->send_shared(frame) == SendResult::kQueued) {
      ++out.queued;
    } else {
      ++out.refused;
    }
  }
  return out;
}

std::size_t Topics::subscribers(std::string_view topic) const {
  std::shared_lock lock(mu_);
  auto it = topics_.find(topic);
  return it == topics_.end() ? 0 : it->second.size();
}

}  // namespace kiv::ws
