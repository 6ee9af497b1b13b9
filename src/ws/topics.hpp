// Publish/subscribe across sessions: a message published to a topic is
// framed once and the same bytes are queued on every subscriber, each in its
// own bounded queue, so a slow subscriber costs the others nothing. Safe to
// use from any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "ws/frame.hpp"

namespace kiv::ws {

class WsSession;

class Topics {
 public:
  struct Published {
    std::size_t queued = 0;   // subscribers that got it
    std::size_t refused = 0;  // subscribers closing, or whose queue was full
  };

  // Sessions subscribe through WsSession::subscribe, which also keeps the
  // list it leaves when it ends.
  void add(std::shared_ptr<WsSession> session, std::string_view topic);
  void remove(WsSession* session, std::string_view topic);

  Published publish(std::string_view topic, Opcode op, std::string payload);
  std::size_t subscribers(std::string_view topic) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using Members = std::unordered_map<WsSession*, std::shared_ptr<WsSession>>;
  mutable std::shared_mutex mu_;
  std::unordered_map<std::string, Members, Hash, std::equal_to<>> topics_;
};

}  // namespace kiv::ws
