// The per-connection HTTP/1.1 loop: reads request heads and bodies from one
// accepted socket, hands each request to `handle`, writes the answers in
// order (persistent connections and pipelining), and closes the connection on
// any protocol or I/O failure.
#pragma once

#include <asio.hpp>

#include "pyapi/shared.hpp"

namespace kiv {

// Owns the accepted socket until the connection is closed. Never fails: every
// failure ends in a fixed error page or a silent close.
asio::awaitable<void> serve_conn(asio::ip::tcp::socket socket, asio::ip::tcp::endpoint peer,
                                 SharedPtr shared);

}  // namespace kiv
