// The opening handshake: which heads are upgrades, which are refused and
// how, and what permessage-deflate offers turn into.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/head_parser.hpp"
#include "ws/handshake.hpp"

namespace kiv::ws {
namespace {

// A valid upgrade head with one line replaced, added or dropped.
std::string head(std::string_view edit = {}, std::string_view request_line = "GET /chat HTTP/1.1") {
  std::vector<std::string> lines = {"Host: example.com", "Upgrade: websocket",
                                    "Connection: Upgrade",
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                                    "Sec-WebSocket-Version: 13"};
  if (!edit.empty()) {
    const std::string name(edit.substr(0, edit.find(':') + 1));
    std::erase_if(lines, [&](const std::string& l) { return l.starts_with(name); });
    if (edit.back() != ':') lines.emplace_back(edit);
  }
  std::string out(request_line);
  out += "\r\n";
  for (const auto& l : lines) out += l + "\r\n";
  return out + "\r\n";
}

Upgrade check(const std::string& text, DeflateOptions opts = {}) {
  ParsedHead h;
  EXPECT_GT(parse_head(text, h), 0) << text;
  return check_upgrade(h, opts);
}

struct UpgradeCase {
  std::string text;
  Upgrade::Kind kind;
  std::uint16_t status;
};
class UpgradeCheck : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(UpgradeCheck, Decides) {
  const Upgrade up = check(GetParam().text);
  EXPECT_EQ(up.kind, GetParam().kind) << up.why;
  EXPECT_EQ(up.status, GetParam().status);
  if (up.kind == Upgrade::kAccepted) {
    EXPECT_EQ(up.accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  }
  if (up.kind == Upgrade::kRefused) {
    const std::string answer = refusal_response(up);
    EXPECT_EQ(answer.find("HTTP/1.1 " + std::to_string(up.status)), 0u);
    EXPECT_EQ(answer.find("Sec-WebSocket-Version: 13") != std::string::npos, up.status == 426);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Ws, UpgradeCheck,
    ::testing::Values(
        UpgradeCase{head(), Upgrade::kAccepted, 0},
        UpgradeCase{head("Upgrade: h2c, WebSocket"), Upgrade::kAccepted, 0},
        UpgradeCase{head("Connection: keep-alive, UPGRADE"), Upgrade::kAccepted, 0},
        UpgradeCase{head("Upgrade:"), Upgrade::kNotWebSocket, 0},
        UpgradeCase{head("Upgrade: websocket/13"), Upgrade::kNotWebSocket, 0},
        UpgradeCase{head({}, "POST /chat HTTP/1.1"), Upgrade::kRefused, 400},
        UpgradeCase{head({}, "GET /chat HTTP/1.0"), Upgrade::kRefused, 400},
        UpgradeCase{head("Connection: keep-alive"), Upgrade::kRefused, 400},
        UpgradeCase{head("Host:"), Upgrade::kRefused, 400},
        UpgradeCase{head("Sec-WebSocket-Version: 8"), Upgrade::kRefused, 426},
        UpgradeCase{head("Sec-WebSocket-Version:"), Upgrade::kRefused, 426},
        UpgradeCase{head("Sec-WebSocket-Key:"), Upgrade::kRefused, 400},
        UpgradeCase{head("Sec-WebSocket-Key: c2hvcnQ="), Upgrade::kRefused, 400},
        UpgradeCase{head("Sec-WebSocket-Key: not base64 at all!!"), Upgrade::kRefused, 400},
        UpgradeCase{head("Sec-WebSocket-Protocol: chat, a b"), Upgrade::kRefused, 400}));

TEST(WsHandshake, HandsOverOriginProtocolsAndExtensions) {
  std::string text = head("Origin: https://example.com");
  text.insert(text.size() - 2,
              "Sec-WebSocket-Protocol: chat, superchat\r\nSec-WebSocket-Protocol: v2\r\n"
              "Sec-WebSocket-Extensions: x-foo; a=\"b\", "
              "permessage-deflate; client_max_window_bits\r\n");
  const Upgrade up = check(text);
  ASSERT_EQ(up.kind, Upgrade::kAccepted);
  EXPECT_EQ(up.origin, "https://example.com");
  EXPECT_EQ(up.subprotocols, (std::vector<std::string>{"chat", "superchat", "v2"}));
  ASSERT_EQ(up.extensions.size(), 2u);
  EXPECT_EQ(up.extensions[0].params[0], std::make_pair(std::string("a"), std::string("b")));
  const std::string answer = accept_response(up, "superchat");
  EXPECT_NE(answer.find("\r\nSec-WebSocket-Protocol: superchat\r\n"), std::string::npos);
  EXPECT_NE(answer.find("\r\nSec-WebSocket-Extensions: permessage-deflate\r\n"), std::string::npos);
  // A protocol the client did not offer is never named.
  EXPECT_EQ(accept_response(up, "other").find("Sec-WebSocket-Protocol"), std::string::npos);
  // The application's extra lines come last, minus those the handshake decides.
  const std::string extra = accept_response(
      up, "", {{"Set-Cookie", "a=1"}, {"sec-websocket-protocol", "v2"}, {"Content-Length", "9"},
               {"bad name", "x"}, {"X-A", "b"}});
  EXPECT_EQ(extra.substr(extra.find("\r\nSet-Cookie")),
            "\r\nSet-Cookie: a=1\r\nX-A: b\r\n\r\n");
}

struct DeflateCase {
  const char* offers;
  DeflateOptions opts;
  const char* answer;  // nullptr: declined
  int server_bits;
};
class Deflate : public ::testing::TestWithParam<DeflateCase> {};

TEST_P(Deflate, Negotiates) {
  const DeflateCase& c = GetParam();
  const auto got = negotiate_deflate(parse_extensions(c.offers), c.opts);
  ASSERT_EQ(got.has_value(), c.answer != nullptr) << c.offers;
  if (!got) return;
  EXPECT_EQ(got->second, c.answer);
  EXPECT_EQ(got->first.server_max_window_bits, c.server_bits);
}
const DeflateOptions kDefault{}, kSmall{true, 10, true};
const char* const kBoth =
    "permessage-deflate; server_no_context_takeover; client_no_context_takeover";
const char* const kSmallAnswer =
    "permessage-deflate; server_no_context_takeover; server_max_window_bits=10";
INSTANTIATE_TEST_SUITE_P(
    Ws, Deflate,
    ::testing::Values(
        DeflateCase{"permessage-deflate", kDefault, "permessage-deflate", 15},
        DeflateCase{"permessage-deflate; client_no_context_takeover; server_no_context_takeover",
                    kDefault, kBoth, 15},
        DeflateCase{"permessage-deflate; server_max_window_bits=12", kDefault,
                    "permessage-deflate; server_max_window_bits=12", 12},
        DeflateCase{"permessage-deflate; server_max_window_bits=\"12\"", kSmall, kSmallAnswer, 10},
        DeflateCase{"permessage-deflate", kSmall, kSmallAnswer, 10},
        // Invalid offers are skipped, and the next one is taken.
        DeflateCase{"permessage-deflate; server_max_window_bits=8, permessage-deflate; "
                    "client_max_window_bits=9", kDefault, "permessage-deflate", 15},
        DeflateCase{"permessage-deflate; server_max_window_bits=16", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; server_max_window_bits=09", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; server_max_window_bits", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; client_max_window_bits=7", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; server_no_context_takeover=1", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; client_no_context_takeover; client_no_context_takeover",
                    kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; mystery", kDefault, nullptr, 0},
        DeflateCase{"permessage-deflate; server_max_window_bits=\"1 2\"", kDefault, nullptr, 0},
        DeflateCase{"x-webkit-deflate-frame", kDefault, nullptr, 0}));

}  // namespace
}  // namespace kiv::ws
