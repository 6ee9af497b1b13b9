#include "router.hpp"

#include <algorithm>
#include <utility>

#include "percent.hpp"

namespace kiv {

namespace {

// Length of the Unicode White_Space character starting at s[i] (UTF-8), or 0.
std::size_t space_at(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  const std::size_t left = s.size() - i;
  if (b0 == 0xC2 && left >= 2) {
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (left < 3 || (b0 != 0xE1 && b0 != 0xE2 && b0 != 0xE3)) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  const auto b2 = static_cast<unsigned char>(s[i + 2]);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
      }
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    default:                                      // 0xE3: U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
  }
}

// Every white-space character is one to three bytes long; a lead byte can
// never be a continuation byte, so a match on the last n bytes is a whole
// character.
std::size_t space_before(std::string_view s, std::size_t end) {
  for (std::size_t n = 1; n <= 3 && n <= end; ++n) {
    if (space_at(s.substr(0, end), end - n) == n) return n;
  }
  return 0;
}

std::string_view trim_space(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size()) {
    const std::size_t n = space_at(s, b);
    if (n == 0) break;
    b += n;
  }
  std::size_t e = s.size();
  while (e > b) {
    const std::size_t n = space_before(s, e);
    if (n == 0) break;
    e -= n;
  }
  return s.substr(b, e - b);
}

// One segment of a rule after the syntax pass.
struct RuleSeg {
  std::string_view text;  // static text, or the variable name
  std::optional<Conv> conv;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool test_int(std::string_view s, bool is_signed) {
  if (is_signed && !s.empty() && s[0] == '-') s.remove_prefix(1);
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// Digits, a dot, digits ("1.5", not "1", ".5" or "1."), as URL converters of
// floats conventionally read them; a "-" first only for a signed one.
bool test_float(std::string_view s, bool is_signed) {
  if (is_signed && !s.empty() && s[0] == '-') s.remove_prefix(1);
  const std::size_t dot = s.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == s.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i != dot && !is_digit(s[i])) return false;
  }
  return true;
}

bool test_uuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (hex_value(static_cast<unsigned char>(s[i])) < 0) {
      return false;
    }
  }
  return true;
}

bool conv_accepts(const Conv& conv, std::string_view s) {
  switch (conv.kind) {
    case kKindInt:
      return test_int(s, conv.is_signed);
    case kKindFloat:
      return test_float(s, conv.is_signed);
    case kKindUuid:
      return test_uuid(s);
    case kKindAny:
      return std::find(conv.alternatives.begin(), conv.alternatives.end(), s) !=
             conv.alternatives.end();
    default:
      return !s.empty();
  }
}

// Percent-decodes a raw segment. Without any "%" the decoding is only the
// UTF-8 check, which spares percent_decode's intermediate buffer.
std::string decode_value(std::string_view raw) {
  if (raw.find('%') == std::string_view::npos) return utf8_lossy(raw);
  return percent_decode(raw);
}

}  // namespace

std::variant<Conv, std::string> parse_conv(std::string_view spec) {
  const std::string_view t = trim_space(spec);
  std::string_view name = t;
  std::string_view arg;
  if (const auto open = t.find('('); open != std::string_view::npos) {
    if (t.back() != ')') return "malformed converter `" + std::string(t) + "`";
    name = t.substr(0, open);
    arg = t.substr(open + 1, t.size() - open - 2);
  }
  if (name.empty() || name == "string") return Conv{kKindString, {}};
  if (name == "int" || name == "float") {
    // Of their arguments only `signed` changes what matches; the others are ignored.
    Conv conv{name == "int" ? kKindInt : kKindFloat, {}};
    while (!arg.empty()) {
      const auto comma = arg.find(',');
      const std::string_view piece = arg.substr(0, comma);
      if (const auto eq = piece.find('='); eq != std::string_view::npos &&
                                           trim_space(piece.substr(0, eq)) == "signed")
        conv.is_signed = trim_space(piece.substr(eq + 1)) == "True";
      if (comma == std::string_view::npos) break;
      arg.remove_prefix(comma + 1);
    }
    return conv;
  }
  if (name == "path") return Conv{kKindPath, {}};
  if (name == "uuid") return Conv{kKindUuid, {}};
  if (name != "any") {
    return "unknown converter `" + std::string(name) +
           "` (supported: string, int, float, path, uuid, any)";
  }
  if (arg.empty()) return std::string("`any` converter requires arguments, e.g. <any(a, b):name>");
  Conv conv{kKindAny, {}};
  while (true) {
    const auto comma = arg.find(',');
    const std::string_view piece = trim_space(arg.substr(0, comma));
    if (!piece.empty()) conv.alternatives.emplace_back(piece);
    if (comma == std::string_view::npos) break;
    arg.remove_prefix(comma + 1);
  }
  return conv;
}

std::optional<std::string> Router::add(std::string_view rule, std::vector<std::string> methods,
                                       Held view, std::string endpoint, bool auto_options,
                                       bool strict_slashes) {
  if (rule.empty() || rule.front() != '/') {
    return std::string("URL rules must start with a leading slash");
  }

  // Syntax pass: nothing is touched until the whole rule is known to be good.
  std::vector<RuleSeg> segs;
  std::vector<std::string_view> pieces;
  split_segments(rule, pieces);
  segs.reserve(pieces.size());
  for (const std::string_view piece : pieces) {
    if (piece.size() < 2 || piece.front() != '<' || piece.back() != '>') {
      segs.push_back({piece, std::nullopt});
      continue;
    }
    const std::string_view inner = piece.substr(1, piece.size() - 2);
    const auto colon = inner.rfind(':');
    std::string_view name = inner;
    Conv conv{kKindString, {}};
    if (colon != std::string_view::npos) {
      // The converter's own error outranks a missing name.
      auto parsed = parse_conv(inner.substr(0, colon));
      if (auto* err = std::get_if<std::string>(&parsed)) return std::move(*err);
      conv = std::get<Conv>(std::move(parsed));
      name = inner.substr(colon + 1);
    }
    if (name.empty()) {
      return "converter in `" + std::string(rule) + "` needs a variable name";
    }
    segs.push_back({name, std::move(conv)});
  }
  // A path converter swallows the rest of the path, so nothing may follow it.
  // Checked before the tree is touched, so a rejected rule leaves no
  // half-inserted nodes or converter names behind.
  for (std::size_t i = 0; i + 1 < segs.size(); ++i) {
    if (segs[i].conv && segs[i].conv->kind == kKindPath) {
      return std::string("`path` converter must be the last segment");
    }
  }

  const std::size_t index = routes_.size();
  Route route{std::string(rule), std::move(endpoint), std::move(methods), std::move(view),
              auto_options, rule.size() > 1 && rule.back() == '/', strict_slashes, {}, false};
  for (std::size_t i = 0; i < segs.size(); ++i) {
    if (!segs[i].conv) continue;
    const std::uint8_t kind = segs[i].conv->kind;
    route.own_test = route.own_test || kind == kKindAny || kind == kKindInt || kind == kKindFloat;
    route.vars.push_back(RuleVar{std::string(segs[i].text), *segs[i].conv, i});
  }
  routes_.push_back(std::move(route));

  Node* node = &root_;
  for (RuleSeg& seg : segs) {
    if (!seg.conv) {
      auto& kids = node->static_children;
      auto it = std::find_if(kids.begin(), kids.end(),
                             [&](const StaticChild& c) { return c.text == seg.text; });
      if (it == kids.end()) {
        kids.push_back(StaticChild{std::string(seg.text), Node{}});
        it = kids.end() - 1;
      }
      node = &it->node;
      continue;
    }
    const std::uint8_t kind = seg.conv->kind;
    if (kind == kKindPath) {
      // Last segment (checked above); a later path rule on the same node wins.
      node->path_tail = PathTail{index};
      return std::nullopt;
    }
    // Kept ascending by kind with one entry per kind; inserting at the lower
    // bound is the same as appending and stable-sorting.
    auto& kids = node->converter_children;
    auto it =
        std::lower_bound(kids.begin(), kids.end(), kind,
                         [](const ConverterChild& c, std::uint8_t k) { return c.conv.kind < k; });
    if (it == kids.end() || it->conv.kind != kind) {
      it = kids.insert(it, ConverterChild{std::move(*seg.conv), Node{}});
    } else if (kind == kKindInt || kind == kKindFloat) {
      // The shared child lets a "-" through if any rule here does (own_test sorts them).
      it->conv.is_signed = it->conv.is_signed || seg.conv->is_signed;
    } else if (kind == kKindAny) {
      auto& have = it->conv.alternatives;
      for (std::string& alt : seg.conv->alternatives) {
        if (std::find(have.begin(), have.end(), alt) == have.end()) have.push_back(std::move(alt));
      }
    }
    node = &it->node;
  }
  // First rule to end here keeps the slot; later ones stay unreachable.
  if (!node->terminal) node->terminal = index;
  return std::nullopt;
}

struct Router::Walk {
  std::span<const std::string_view> raw;   // the request's segments, undecoded
  std::span<const std::string_view> keys;  // what static children compare against
  std::vector<RouteArg> args;              // captured so far, names filled by emit
  std::vector<RouteMatch>& out;
};

void Router::emit(std::size_t index, Walk& w, std::string* tail) const {
  const Route& r = routes_[index];
  if (r.own_test) {
    for (const RuleVar& v : r.vars) {
      const std::uint8_t k = v.conv.kind;
      if ((k == kKindAny || k == kKindInt || k == kKindFloat) &&
          !conv_accepts(v.conv, w.raw[v.seg]))
        return;
    }
  }
  RouteMatch& m = w.out.emplace_back();
  m.route = index;
  if (tail) m.args.reserve(w.args.size() + 1);
  m.args = w.args;
  for (std::size_t i = 0; i < m.args.size(); ++i) m.args[i].name = r.vars[i].name;
  if (tail) m.args.push_back(RouteArg{r.vars.back().name, std::move(*tail), kKindPath});
}

void Router::walk(const Node& node, std::size_t depth, Walk& w) const {
  if (depth == w.raw.size()) {
    // A path tail needs at least one segment, so only the terminal can match.
    if (node.terminal) emit(*node.terminal, w, nullptr);
    return;
  }
  const std::string_view s = w.raw[depth];

  if (!node.static_children.empty()) {
    const std::string_view key = w.keys[depth];
    for (const StaticChild& child : node.static_children) {
      if (child.text == key) {
        walk(child.node, depth + 1, w);
        break;  // texts are unique within a node
      }
    }
  }

  for (const ConverterChild& child : node.converter_children) {
    if (!conv_accepts(child.conv, s)) continue;
    w.args.push_back(RouteArg{{}, decode_value(s), child.conv.kind});
    walk(child.node, depth + 1, w);
    w.args.pop_back();
  }

  if (node.path_tail) {
    const auto segs = w.raw.subspan(depth);
    std::size_t len = segs.size() - 1;
    for (const std::string_view seg : segs) len += seg.size();
    std::string joined;
    joined.reserve(len);
    for (const std::string_view seg : segs) {
      if (!joined.empty()) joined.push_back('/');
      joined.append(seg);
    }
    std::string value;
    if (joined.find('%') != std::string::npos) {
      value = percent_decode(joined);
    } else if (is_valid_utf8(joined)) {
      value = std::move(joined);
    } else {
      value = utf8_lossy(joined);
    }
    emit(node.path_tail->route, w, &value);
  }
}

std::vector<RouteMatch> Router::match(std::string_view raw_path) const {
  std::vector<std::string_view> segs;
  split_segments(raw_path, segs);
  std::vector<RouteMatch> out;
  Walk w{segs, segs, {}, out};
  if (raw_path.find('%') == std::string_view::npos) {
    walk(root_, 0, w);
  } else {
    walk_decoded(w);
  }
  return out;
}

// Static rule text is compared with the decoded segment, as browsers encode
// what the rule author wrote unencoded. Decoding happens per segment, so an
// encoded "/" stays inside its segment.
void Router::walk_decoded(Walk& w) const {
  std::size_t total = 0;
  for (const std::string_view seg : w.raw) total += seg.size();
  std::string decoded;
  decoded.reserve(total);  // never longer than the raw bytes: views stay valid
  std::vector<std::string_view> keys;
  keys.reserve(w.raw.size());
  for (const std::string_view seg : w.raw) {
    const std::size_t start = decoded.size();
    if (seg.find('%') == std::string_view::npos)
      decoded.append(seg);
    else
      percent_unescape(seg, decoded);
    keys.emplace_back(decoded.data() + start, decoded.size() - start);
  }
  w.keys = keys;
  walk(root_, 0, w);
}

void split_segments(std::string_view path, std::vector<std::string_view>& out) {
  out.clear();
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

std::vector<std::string_view> split_segments(std::string_view path) {
  std::vector<std::string_view> out;
  split_segments(path, out);
  return out;
}

}  // namespace kiv
