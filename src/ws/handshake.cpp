#include "ws/handshake.hpp"

#include <algorithm>

#include "http/head_parser.hpp"
#include "http/request.hpp"
#include "ws/codec.hpp"

namespace kiv::ws {

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

bool iequal(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool is_tchar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), is_tchar);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Calls f on each non-empty element of a comma-separated list.
template <class F>
void each_element(std::string_view list, F&& f) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view el = trim(list.substr(0, comma));
    if (!el.empty()) f(el);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
}

bool list_has(const std::vector<FieldView>& headers, std::string_view name,
              std::string_view token) {
  bool found = false;
  for (const auto& [n, v] : headers) {
    if (!iequal(n, name)) continue;
    each_element(v, [&](std::string_view el) {
      // "websocket/13" would be a versioned protocol name, not ours.
      if (iequal(el, token)) found = true;
    });
  }
  return found;
}

// The value of a header that must appear once; nullopt when absent or repeated.
std::optional<std::string_view> single(const std::vector<FieldView>& headers, std::string_view name,
                                       int* count) {
  std::optional<std::string_view> v;
  *count = 0;
  for (const auto& [n, val] : headers) {
    if (iequal(n, name)) {
      ++*count;
      v = trim(val);
    }
  }
  if (*count != 1) return std::nullopt;
  return v;
}

std::string joined(const std::vector<FieldView>& headers, std::string_view name) {
  std::string out;
  for (const auto& [n, v] : headers) {
    if (!iequal(n, name)) continue;
    if (!out.empty()) out += ", ";
    out += v;
  }
  return out;
}

Upgrade refuse(Upgrade up, std::uint16_t status, std::string_view why) {
  up.kind = Upgrade::kRefused;
  up.status = status;
  up.why = why;
  return up;
}

// A window size parameter: a decimal 8-15 without leading zeros.
int window_bits(std::string_view v) {
  if (v.size() == 1 && v[0] >= '8' && v[0] <= '9') return v[0] - '0';
  if (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5') return 10 + (v[1] - '0');
  return 0;
}

}  // namespace

std::vector<ExtensionOffer> parse_extensions(std::string_view value) {
  std::vector<ExtensionOffer> out;
  std::size_t i = 0;
  const std::size_t n = value.size();
  auto skip_blanks = [&] {
    while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
  };
  auto token = [&] {
    const std::size_t start = i;
    while (i < n && is_tchar(value[i])) ++i;
    return value.substr(start, i - start);
  };
  // Skips to just past the next comma outside a quoted string.
  auto skip_element = [&] {
    bool quoted = false;
    for (; i < n; ++i) {
      if (quoted && value[i] == '\\') {
        ++i;
      } else if (value[i] == '"') {
        quoted = !quoted;
      } else if (!quoted && value[i] == ',') {
        ++i;
        return;
      }
    }
  };
  while (i < n) {
    skip_blanks();
    if (i < n && value[i] == ',') {
      ++i;
      continue;
    }
    if (i >= n) break;
    ExtensionOffer offer;
    bool ok = true;
    offer.name = std::string(token());
    ok = !offer.name.empty();
    skip_blanks();
    while (ok && i < n && value[i] == ';') {
      ++i;
      skip_blanks();
      std::string name(token());
      if (name.empty()) {
        ok = false;
        break;
      }
      std::string val;
      skip_blanks();
      if (i < n && value[i] == '=') {
        ++i;
        skip_blanks();
        if (i < n && value[i] == '"') {
          // A quoted value must still be a token once unquoted.
          ++i;
          while (i < n && value[i] != '"') {
            if (value[i] == '\\' && i + 1 < n) ++i;
            val += value[i++];
          }
          if (i >= n) {
            ok = false;
            break;
          }
          ++i;
          ok = is_token(val);
        } else {
          val = std::string(token());
          ok = !val.empty();
        }
        skip_blanks();
      }
      offer.params.emplace_back(std::move(name), std::move(val));
    }
    if (ok && i < n && value[i] != ',') ok = false;
    if (ok) out.push_back(std::move(offer));
    skip_element();
  }
  return out;
}

std::optional<std::pair<DeflateParams, std::string>> negotiate_deflate(
    const std::vector<ExtensionOffer>& offers, const DeflateOptions& opts) {
  if (!opts.enabled) return std::nullopt;
  const int our_max = std::clamp(opts.max_window_bits, 9, 15);
  for (const ExtensionOffer& offer : offers) {
    if (!iequal(offer.name, "permessage-deflate")) continue;
    bool ok = true, seen[4] = {};
    bool server_nct = false, client_nct = false;
    int server_bits = 0, client_bits = 0;
    for (const auto& [name, val] : offer.params) {
      int which;
      if (iequal(name, "server_no_context_takeover")) {
        which = 0, server_nct = true, ok = val.empty();
      } else if (iequal(name, "client_no_context_takeover")) {
        which = 1, client_nct = true, ok = val.empty();
      } else if (iequal(name, "server_max_window_bits")) {
        which = 2, server_bits = window_bits(val), ok = server_bits != 0;
      } else if (iequal(name, "client_max_window_bits")) {
        which = 3;
        client_bits = val.empty() ? 15 : window_bits(val);
        ok = client_bits != 0;
      } else {
        ok = false;  // a parameter we do not know makes the offer unacceptable
      }
      if (!ok || seen[which]) {
        ok = false;
        break;
      }
      seen[which] = true;
    }
    if (!ok) continue;
    if (server_bits == 8) continue;  // zlib's raw deflate needs at least 9
    DeflateParams p;
    p.server_no_context_takeover = server_nct || opts.no_context_takeover;
    p.client_no_context_takeover = client_nct;
    p.server_max_window_bits = server_bits ? std::min(server_bits, our_max) : our_max;
    p.client_max_window_bits = client_bits ? client_bits : 15;
    std::string answer = "permessage-deflate";
    if (p.server_no_context_takeover) answer += "; server_no_context_takeover";
    if (p.client_no_context_takeover) answer += "; client_no_context_takeover";
    if (server_bits || p.server_max_window_bits < 15) {
      answer += "; server_max_window_bits=" + std::to_string(p.server_max_window_bits);
    }
    return std::make_pair(p, std::move(answer));
  }
  return std::nullopt;
}

Upgrade check_upgrade(std::string_view method, int minor_version,
                      const std::vector<FieldView>& headers, const DeflateOptions& deflate) {
  Upgrade up;
  if (!list_has(headers, "upgrade", "websocket")) return up;
  if (method != "GET") return refuse(std::move(up), 400, "method is not GET");
  if (minor_version != 1) return refuse(std::move(up), 400, "not HTTP/1.1");
  if (!list_has(headers, "connection", "upgrade")) {
    return refuse(std::move(up), 400, "Connection lacks upgrade");
  }
  int count;
  if (!single(headers, "host", &count)) return refuse(std::move(up), 400, "no Host");
  const auto version = single(headers, "sec-websocket-version", &count);
  if (!version || *version != "13") return refuse(std::move(up), 426, "version is not 13");
  const auto key = single(headers, "sec-websocket-key", &count);
  if (!key) return refuse(std::move(up), 400, "no single Sec-WebSocket-Key");
  const auto nonce = base64_decode(*key);
  if (!nonce || nonce->size() != 16) return refuse(std::move(up), 400, "bad Sec-WebSocket-Key");

  bool bad_protocol = false;
  each_element(joined(headers, "sec-websocket-protocol"), [&](std::string_view el) {
    if (!is_token(el)) bad_protocol = true;
    up.subprotocols.emplace_back(el);
  });
  if (bad_protocol) return refuse(std::move(up), 400, "bad Sec-WebSocket-Protocol");
  if (const auto origin = single(headers, "origin", &count)) {
    up.origin = std::string(*origin);
  } else if (count > 1) {
    return refuse(std::move(up), 400, "repeated Origin");
  }
  up.extensions = parse_extensions(joined(headers, "sec-websocket-extensions"));
  if (auto agreed = negotiate_deflate(up.extensions, deflate)) {
    up.deflate = agreed->first;
    up.deflate_answer = std::move(agreed->second);
  }
  up.accept = accept_key(*key);
  up.kind = Upgrade::kAccepted;
  return up;
}

Upgrade check_upgrade(const ParsedHead& head, const DeflateOptions& deflate) {
  std::vector<FieldView> fields;
  fields.reserve(head.num_headers);
  for (std::size_t i = 0; i < head.num_headers; ++i) {
    fields.emplace_back(head.headers[i].name, head.headers[i].value);
  }
  return check_upgrade(head.method, head.minor_version, fields, deflate);
}

Upgrade check_upgrade(const Req& req, const DeflateOptions& deflate) {
  std::vector<FieldView> fields;
  fields.reserve(req.headers.size());
  for (const auto& [n, v] : req.headers) fields.emplace_back(n, v);
  return check_upgrade(req.method, req.minor_version, fields, deflate);
}

std::string accept_response(const Upgrade& up, std::string_view subprotocol,
                            const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string out =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  out += up.accept;
  out += "\r\n";
  if (!subprotocol.empty() && std::find(up.subprotocols.begin(), up.subprotocols.end(),
                                        subprotocol) != up.subprotocols.end()) {
    out += "Sec-WebSocket-Protocol: ";
    out += subprotocol;
    out += "\r\n";
  }
  if (up.deflate) {
    out += "Sec-WebSocket-Extensions: ";
    out += up.deflate_answer;
    out += "\r\n";
  }
  for (const auto& header : extra) {
    // A named reference, not a structured binding: clang before 16 cannot capture those.
    const std::string_view name = header.first;
    static constexpr std::string_view kOwn[] = {
        "upgrade",   "connection",     "sec-websocket-accept", "sec-websocket-protocol",
        "sec-websocket-extensions", "content-length", "transfer-encoding"};
    if (!is_token(name) || std::any_of(std::begin(kOwn), std::end(kOwn),
                                       [&](std::string_view own) { return iequal(name, own); }))
      continue;
    out += name;
    out += ": ";
    out += header.second;
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

std::string refusal_response(const Upgrade& up) {
  if (up.status == 426) {
    return "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"
           "Content-Length: 0\r\nConnection: close\r\n\r\n";
  }
  return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

}  // namespace kiv::ws
