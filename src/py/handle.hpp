// Decides what answers one parsed request: body limit, static mounts,
// slash redirects, routing, method selection, OPTIONS, and the hand-off to
// Python (including the 404 and 405 answers the framework renders).
#pragma once

#include <asio.hpp>

#include "http/handler.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "pyapi/shared.hpp"

namespace kiv {

class StaticCache;

// With a cache, hot small static files are answered without the pool.
asio::awaitable<ResponseOut> handle(Req req, SharedPtr shared, StaticCache* cache = nullptr);

// The engine's view of one server's application: `handle` over its `Shared`.
HandlerPtr make_app_handler(SharedPtr shared);

}  // namespace kiv
