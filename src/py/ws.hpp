// WebSockets for Python applications: the answer to an upgrade request (a
// pool job runs the application's hooks and its choice), the native handler
// that carries messages between a session and Python, and the connection
// object Python code holds.
#pragma once

#include <Python.h>

#include <asio.hpp>

#include <memory>

#include "http/handler.hpp"
#include "http/request.hpp"
#include "pyapi/shared.hpp"

namespace kiv {

namespace ws {
struct Upgrade;
class Topics;
}  // namespace ws

// kHttp when no WebSocket rule matches the path; otherwise the application's
// verdict, reached by running its entry on the pool. Never fails.
asio::awaitable<WsAnswer> upgrade_python(Req& req, const ws::Upgrade& up, SharedPtr shared);

// The process's topics: every server's sessions subscribe here, and
// publishing reaches them all.
const std::shared_ptr<ws::Topics>& process_topics();

// Module-level functions of the WebSocket bridge, appended to `table` (which
// must have room; returns the new end).
PyMethodDef* add_ws_functions(PyMethodDef* table);

}  // namespace kiv
