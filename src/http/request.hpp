// One parsed request, moved from its builder (connection loop or test path)
// to handling and on to dispatch. It may cross threads: the only thing it
// shares is a streamed body's source, which is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kiv {

class RequestBody;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Req {
  std::string method;        // as received, case kept
  std::string path;          // raw, up to the first "?"
  std::string query_string;  // raw, after the first "?"
  HeaderList query;          // parse_query(query_string)
  HeaderList headers;        // arrival order, names as received
  std::string body;  // the whole body, unless it is streamed
  // Set when the body is read as the application asks for it (large, chunked,
  // or behind "Expect: 100-continue"); `body` is empty then.
  std::shared_ptr<RequestBody> body_stream;
  std::string remote_addr;  // IP only, no port
  std::uint16_t remote_port = 0;
  std::uint8_t minor_version = 1;  // HTTP/1.0 or HTTP/1.1
};

}  // namespace kiv
