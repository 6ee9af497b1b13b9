// The WebSocket opening handshake, server side: deciding whether a request
// head asks for a valid upgrade, and the answer to it, with the
// permessage-deflate negotiation. Pure: no socket, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv {
struct ParsedHead;
struct Req;
}  // namespace kiv

namespace kiv::ws {

// What the server is willing to do for permessage-deflate.
struct DeflateOptions {
  bool enabled = true;
  // Our own compression window: 9-15 (zlib cannot make raw streams with 8,
  // so an offer that limits us to 8 is declined).
  int max_window_bits = 15;
  // Reset our compressor after every message even when the client allows
  // keeping it: 256 KiB less per connection for a worse ratio.
  bool no_context_takeover = false;
};

// The agreed parameters of one connection.
struct DeflateParams {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  int server_max_window_bits = 15;
  int client_max_window_bits = 15;
};

struct ExtensionOffer {
  std::string name;
  std::vector<std::pair<std::string, std::string>> params;  // value "" when none
};

struct Upgrade {
  enum Kind {
    kNotWebSocket,  // no "Upgrade: websocket": an ordinary request
    kRefused,       // asks for an upgrade but breaks a rule: answer `status`
    kAccepted,
  };
  Kind kind = kNotWebSocket;
  std::uint16_t status = 0;  // 400 or 426 when refused
  std::string_view why;      // for logs
  std::string accept;        // Sec-WebSocket-Accept
  std::optional<std::string> origin;
  std::vector<std::string> subprotocols;   // offered, in the client's order
  std::vector<ExtensionOffer> extensions;  // every well-formed offer, in order
  std::optional<DeflateParams> deflate;    // set when permessage-deflate was agreed
  std::string deflate_answer;              // its Sec-WebSocket-Extensions value
};

// One header line's name and value as the request carried them.
using FieldView = std::pair<std::string_view, std::string_view>;

Upgrade check_upgrade(std::string_view method, int minor_version,
                      const std::vector<FieldView>& headers, const DeflateOptions& deflate = {});
Upgrade check_upgrade(const ParsedHead& head, const DeflateOptions& deflate = {});
Upgrade check_upgrade(const Req& req, const DeflateOptions& deflate = {});

// The 101 answer. `subprotocol` must be one of the offered ones or empty
// (none chosen); anything else is left out, since the client would fail the
// connection on it. `extra` header lines (already free of CR, LF and NUL) go
// after the handshake's own, except those naming a header the handshake or
// the framing decides (they would contradict it).
std::string accept_response(const Upgrade& up, std::string_view subprotocol = {},
                            const std::vector<std::pair<std::string, std::string>>& extra = {});
// The 400 or 426 answer of a refused upgrade (426 names the version we speak).
std::string refusal_response(const Upgrade& up);

// Parses a Sec-WebSocket-Extensions value (all lines joined by ", "): offers
// that do not parse are skipped.
std::vector<ExtensionOffer> parse_extensions(std::string_view value);

// The first acceptable permessage-deflate offer, and the answer's text.
std::optional<std::pair<DeflateParams, std::string>> negotiate_deflate(
    const std::vector<ExtensionOffer>& offers, const DeflateOptions& opts);

}  // namespace kiv::ws
