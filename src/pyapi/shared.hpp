// The immutable snapshot of a Server's configuration that one running server
// or one in-process request works from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "router.hpp"

namespace kiv {

// A WSGI application hosted at `prefix` ("" for the root): every request at or
// under it that no rule answers is handed to `host` with an environ built from
// a copy of `base` (the per-server constant keys).
struct WsgiMount {
  std::string prefix;
  HeldRef host, base;
  bool asgi = false;  // an ASGI host instead: run on the event loop, no base
};

struct Shared {
  std::vector<std::pair<std::string, std::string>> statics;  // (url_path, canonical folder)
  std::vector<WsgiMount> wsgi_mounts;                         // longest prefix first
  std::shared_ptr<const Router> router;
  HeldRef dispatch, pipeline, request_class, convert_slow, debug_page, http_exception, uuid_class;
  // Optional: what runs a coroutine view's request on the event loop, given
  // (request, view, args, done). on_loop[i] says whether route i goes there.
  HeldRef loop_pipeline;
  std::vector<char> on_loop;
  // WebSocket rules, and what runs an upgrade request of theirs, given
  // (request, view, args, conn). Both null when the app has none.
  std::shared_ptr<const Router> ws_router;
  HeldRef ws_entry;
  std::string prefix_header;  // lower case; empty: redirects carry no prefix
  std::uint64_t prefix_trusted = 0;
  std::uint64_t max_body = 0;
  std::int64_t cc_max_age = 0;
  bool fast = true, debug = false, log = false, trap_http = false;
};

using SharedPtr = std::shared_ptr<const Shared>;

}  // namespace kiv
