// Decides what answers one parsed request: body limit, static mounts,
// slash redirects, routing, method selection, OPTIONS, and the hand-off to
// Python (including the 404 and 405 answers the framework renders).
#pragma once

#include <Python.h>

#include <asio.hpp>

#include <string_view>

#include "http/handler.hpp"
#include "http/request.hpp"
#include "http/response.hpp"
#include "pyapi/shared.hpp"

namespace kiv {

class StaticCache;

// With a cache, hot small static files are answered without the pool.
asio::awaitable<ResponseOut> handle(Req req, SharedPtr shared, StaticCache* cache = nullptr);

// What handle() would decide for a request that no static folder answers, as
// Server.match returns it (see pyapi/module.cpp). Needs the interpreter lock.
PyObject* match_for_python(const Router& router, std::string_view method, std::string_view path,
                           std::string_view query);

// The engine's view of one server's application: `handle` over its `Shared`.
HandlerPtr make_app_handler(SharedPtr shared);

}  // namespace kiv
