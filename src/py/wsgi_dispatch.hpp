// Requests under a WSGI mount: the environ is built here, on the pool thread,
// straight from the parsed request, and the host's (status, headers, body)
// answer becomes the response. No framework request object is made.
#pragma once

#include <asio.hpp>

#include <cstddef>
#include <string>
#include <string_view>

#include "http/request.hpp"
#include "http/response.hpp"
#include "pyapi/shared.hpp"

namespace kiv {

// The mount at or above `path` (the percent-unescaped request path, raw
// bytes), if any. The longest prefix wins.
const WsgiMount* wsgi_mount_for(const Shared& shared, std::string_view path);

// Never fails: an exception from the host ends in a 500 (or the debug page).
asio::awaitable<ResponseOut> dispatch_wsgi(Req req, std::string path, const WsgiMount* mount,
                                           SharedPtr shared);

}  // namespace kiv
