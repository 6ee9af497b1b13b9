// Rule compiler and matcher. Input lines: every line but the last is a rule
// (at most kMaxRules), the last is a request path. Checks the tree's shape
// after every add, that a refused rule changes nothing, that every match
// names a valid route with arguments that fit its own rule, and that every
// accepted rule is reached by a path built from its own shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_common.hpp"
#include "percent.hpp"
#include "router.hpp"

using kiv::Conv;
using kiv::Node;
using kiv::Router;

namespace {

constexpr std::size_t kMaxRules = 12;

// One rule segment read the way a rule author writes it: static text, or a
// variable whose converter kind comes from parse_conv.
struct Shape {
  bool variable;
  std::string_view text;  // static text
  std::uint8_t kind;      // variable only
  std::vector<std::string> alternatives;
  std::string_view name;  // variable only
  bool is_signed = false;  // int and float: a "-" may lead
};

std::vector<std::string_view> pieces(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('/', start);
    if (end == std::string_view::npos) end = s.size();
    if (end > start) out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// Shape of a rule the router accepted.
std::vector<Shape> shape_of(std::string_view rule) {
  std::vector<Shape> out;
  for (std::string_view p : pieces(rule)) {
    if (p.size() < 2 || p.front() != '<' || p.back() != '>') {
      out.push_back({false, p, 0, {}});
      continue;
    }
    const std::string_view inner = p.substr(1, p.size() - 2);
    const std::size_t colon = inner.rfind(':');
    std::uint8_t kind = kiv::kKindString;
    std::vector<std::string> alts;
    bool is_signed = false;
    const std::string_view name = inner.substr(colon == std::string_view::npos ? 0 : colon + 1);
    if (colon != std::string_view::npos) {
      auto conv = kiv::parse_conv(inner.substr(0, colon));
      FUZZ_CHECK(std::holds_alternative<Conv>(conv));  // the rule was accepted
      kind = std::get<Conv>(conv).kind;
      alts = std::get<Conv>(conv).alternatives;
      is_signed = std::get<Conv>(conv).is_signed;
    }
    out.push_back({true, {}, kind, std::move(alts), name, is_signed});
  }
  return out;
}

// Text form of the whole tree, to see that a refused rule left it unchanged.
void dump(const Node& n, std::string& out) {
  out += '{';
  if (n.terminal) out += "t" + std::to_string(*n.terminal);
  if (n.path_tail) out += "p" + std::to_string(n.path_tail->route);
  for (const auto& c : n.static_children) {
    out += "s" + std::to_string(c.text.size()) + ":" + c.text;
    dump(c.node, out);
  }
  for (const auto& c : n.converter_children) {
    out += "c" + std::to_string(c.conv.kind);
    for (const auto& a : c.conv.alternatives) out += "|" + a;
    dump(c.node, out);
  }
  out += '}';
}

void check_tree(const Node& n, std::size_t routes) {
  if (n.terminal) FUZZ_CHECK(*n.terminal < routes);
  if (n.path_tail) FUZZ_CHECK(n.path_tail->route < routes);
  std::set<std::string_view> texts;
  for (const auto& c : n.static_children) {
    FUZZ_CHECK(!c.text.empty() && c.text.find('/') == std::string::npos);
    FUZZ_CHECK(texts.insert(c.text).second);
    check_tree(c.node, routes);
  }
  std::uint8_t prev = 0;
  for (const auto& c : n.converter_children) {
    FUZZ_CHECK(c.conv.kind > prev && c.conv.kind < kiv::kKindPath);  // ascending, one per kind
    prev = c.conv.kind;
    check_tree(c.node, routes);
  }
}

bool passes(std::uint8_t kind, std::string_view seg, bool is_signed) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (is_signed && (kind == kiv::kKindInt || kind == kiv::kKindFloat) && !seg.empty() &&
      seg[0] == '-')
    seg.remove_prefix(1);
  switch (kind) {
    case kiv::kKindInt:
      for (char c : seg) {
        if (!digit(c)) return false;
      }
      return !seg.empty();
    case kiv::kKindFloat: {
      // Digits, one dot, digits.
      const std::size_t dot = seg.find('.');
      if (dot == std::string_view::npos || dot == 0 || dot + 1 == seg.size()) return false;
      for (std::size_t i = 0; i < seg.size(); ++i) {
        if (i != dot && !digit(seg[i])) return false;
      }
      return true;
    }
    case kiv::kKindUuid:
      if (seg.size() != 36) return false;
      for (std::size_t i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? seg[i] != '-' : kivfuzz::ref_hex(seg[i]) < 0) return false;
      }
      return true;
    default:
      return !seg.empty();
  }
}

void check_matches(const Router& r, std::string_view path) {
  const auto segs = pieces(path);
  std::set<std::size_t> seen;
  for (const kiv::RouteMatch& m : r.match(path)) {
    FUZZ_CHECK(m.route < r.routes().size());
    FUZZ_CHECK(seen.insert(m.route).second);  // each route is reachable from one place
    const auto shape = shape_of(r.routes()[m.route].rule);
    const bool tail =
        !shape.empty() && shape.back().variable && shape.back().kind == kiv::kKindPath;
    FUZZ_CHECK(tail ? segs.size() >= shape.size() : segs.size() == shape.size());

    std::size_t vars = 0;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      if (!shape[i].variable) {
        FUZZ_CHECK(kivfuzz::ref_unescape(segs[i], false) == shape[i].text);
        continue;
      }
      FUZZ_CHECK(vars < m.args.size());
      const kiv::RouteArg& a = m.args[vars++];
      FUZZ_CHECK(a.kind == shape[i].kind && a.name == shape[i].name);
      const auto& alts = shape[i].alternatives;
      FUZZ_CHECK(a.kind != kiv::kKindAny || std::count(alts.begin(), alts.end(), segs[i]));
      FUZZ_CHECK(kivfuzz::ref_valid_utf8(a.value));
      if (a.kind != kiv::kKindPath) {
        FUZZ_CHECK(passes(a.kind, segs[i], shape[i].is_signed));
        FUZZ_CHECK(a.value == kiv::percent_decode(segs[i]));
      } else {
        std::string joined(segs[i]);
        for (std::size_t k = i + 1; k < segs.size(); ++k) joined.append("/").append(segs[k]);
        FUZZ_CHECK(a.value == kiv::percent_decode(joined));
      }
    }
    FUZZ_CHECK(vars == m.args.size());
  }
}

// A path built from a rule's own shape: each variable gets a value its
// converter accepts. Must reach a route of the same shape (this rule, or the
// earlier one that holds the same tree position).
void check_reachable(const Router& r, std::string_view rule) {
  const auto shape = shape_of(rule);
  std::string path;
  for (const Shape& s : shape) {
    path += '/';
    if (!s.variable) {
      for (char c : s.text) path += c == '%' ? std::string_view("%25") : std::string_view(&c, 1);
      continue;
    }
    switch (s.kind) {
      case kiv::kKindInt:
        path += "7";
        break;
      case kiv::kKindFloat:
        path += "1.5";  // what a signed rule and an unsigned one sharing its place accept
        break;
      case kiv::kKindUuid:
        path += "123e4567-e89b-12d3-a456-426614174000";
        break;
      case kiv::kKindAny:
        // The rule may be shadowed by an earlier one with other alternatives.
        return;
      case kiv::kKindPath:
        path += "p/q";
        break;
      default:
        path += "s";
    }
  }
  for (const kiv::RouteMatch& m : r.match(path)) {
    const auto other = shape_of(r.routes()[m.route].rule);
    if (other.size() != shape.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < shape.size() && same; ++i) {
      same = other[i].variable == shape[i].variable &&
             (shape[i].variable ? other[i].kind == shape[i].kind : other[i].text == shape[i].text);
    }
    if (same) return;
  }
  FUZZ_CHECK(!"an accepted rule is not reached by a path of its own shape");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in = kivfuzz::as_view(data, size);
  std::vector<std::string_view> lines;
  while (true) {
    const std::size_t lf = in.find('\n');
    lines.push_back(in.substr(0, lf));
    if (lf == std::string_view::npos) break;
    in.remove_prefix(lf + 1);
  }
  const std::string_view path = lines.back();
  lines.pop_back();
  if (lines.size() > kMaxRules) lines.resize(kMaxRules);

  Router router;
  std::vector<std::string_view> accepted;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string before;
    dump(router.root(), before);
    const std::size_t count = router.routes().size();
    const auto err = router.add(lines[i], {"GET"}, kiv::Held{}, "e" + std::to_string(i), false);
    if (err) {
      FUZZ_CHECK(!err->empty());
      FUZZ_CHECK(router.routes().size() == count);
      std::string after;
      dump(router.root(), after);
      FUZZ_CHECK(after == before);
      continue;
    }
    FUZZ_CHECK(router.routes().size() == count + 1);
    const kiv::Route& added = router.routes().back();
    FUZZ_CHECK(added.rule == lines[i]);
    FUZZ_CHECK(added.trailing_slash == (lines[i].size() > 1 && lines[i].back() == '/'));
    accepted.push_back(lines[i]);
  }
  check_tree(router.root(), router.routes().size());
  for (std::string_view rule : accepted) check_reachable(router, rule);
  check_matches(router, path);

  // The converter parser on its own, fed the path line as a converter text.
  const auto conv = kiv::parse_conv(path);
  if (const Conv* c = std::get_if<Conv>(&conv)) {
    FUZZ_CHECK(c->kind >= kiv::kKindInt && c->kind <= kiv::kKindPath);
    FUZZ_CHECK(c->kind == kiv::kKindAny || c->alternatives.empty());
    for (const auto& a : c->alternatives) {
      FUZZ_CHECK(!a.empty() && a.find(',') == std::string::npos);
    }
  } else {
    FUZZ_CHECK(!std::get<std::string>(conv).empty());
  }
  return 0;
}
