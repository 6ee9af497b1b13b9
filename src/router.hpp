// URL rules, the compiled rule tree and the matcher that lists every route a
// request path can reach.
//
// A Router is built once (rules added in registration order) and then only
// read, concurrently and without locks, by every connection of a server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "held.hpp"

namespace kiv {

// Converter kind codes. They order the converter children of a node (which is
// the order matching tries them in) and travel with every captured argument to
// the Python side, which converts the value by kind. 0 is never produced.
inline constexpr std::uint8_t kKindInt = 1, kKindFloat = 2, kKindUuid = 3, kKindAny = 4,
                              kKindString = 5, kKindPath = 6;

struct Conv {
  std::uint8_t kind;
  std::vector<std::string> alternatives;  // only for any, in the order written
  bool is_signed = false;                 // int and float: `signed=True` allows a "-"
};

// Parses the converter part of a variable segment ("int", "any(a, b)", ...).
// Returns the converter or the error text.
std::variant<Conv, std::string> parse_conv(std::string_view spec);

// One variable of a rule, as that rule wrote it. Rules that share a tree
// position keep their own names and `any` alternatives here.
struct RuleVar {
  std::string name;
  Conv conv;
  std::size_t seg;  // index of its segment among the rule's segments
};

struct Route {
  std::string rule;  // exactly as registered
  std::string endpoint;
  std::vector<std::string> methods;  // stored for request handling, never read here
  Held view;  // the application's view, opaque here
  bool auto_options = false;
  bool trailing_slash = false;  // rule longer than "/" and ends in "/"
  bool strict_slashes = true;   // false: the other slash form is answered, not redirected
  std::vector<RuleVar> vars;    // left to right
  // Some var is `any`, int or float: a tree position is shared by rules whose own
  // alternatives or sign differ, so candidates need the own-rule test.
  bool own_test = false;
};

struct StaticChild;
struct ConverterChild;

// A rule whose last segment is a path converter; it swallows the rest of the
// path from this node on. Its variable is the route's last var.
struct PathTail {
  std::size_t route;
};

// One level of the rule tree per path segment. Children are few per node, so
// they live in plain vectors searched linearly.
struct Node {
  std::optional<std::size_t> terminal;             // route ending exactly here
  std::vector<StaticChild> static_children;        // insertion order, texts unique
  std::vector<ConverterChild> converter_children;  // ascending kind, one per kind
  std::optional<PathTail> path_tail;
};

struct StaticChild {
  std::string text;  // as written in the rule; request segments are compared decoded
  Node node;
};

// Shared by every rule with a converter of this kind at this position. For
// `any`, alternatives are the union over those rules, so the walk can prune;
// each candidate is then checked against its own rule's list.
struct ConverterChild {
  Conv conv;
  Node node;
};

struct RouteArg {
  std::string name;
  std::string value;  // percent-decoded, UTF-8 with replacement
  std::uint8_t kind;
};

struct RouteMatch {
  std::size_t route;
  std::vector<RouteArg> args;  // left-to-right order of the rule's variables
};

class Router {
 public:
  Router() = default;
  Router(Router&&) noexcept = default;
  Router& operator=(Router&&) noexcept = default;
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  // Compiles one rule. Empty optional on success, else the error message; on
  // error the router is left exactly as it was.
  std::optional<std::string> add(std::string_view rule, std::vector<std::string> methods,
                                 Held view, std::string endpoint, bool auto_options,
                                 bool strict_slashes = true);

  // Every route the raw (undecoded) request path can reach, in priority
  // order: depth first, at each node the static child, then converters by
  // kind, then the path tail. Arguments carry the names of the matched rule.
  std::vector<RouteMatch> match(std::string_view raw_path) const;

  const Node& root() const { return root_; }
  const std::vector<Route>& routes() const { return routes_; }

 private:
  struct Walk;
  void walk(const Node& node, std::size_t depth, Walk& w) const;
  void walk_decoded(Walk& w) const;
  // Appends the candidate for route `index` unless one of its own `any`
  // alternatives lists refuses its segment; `tail` is a path variable's value.
  void emit(std::size_t index, Walk& w, std::string* tail) const;

  Node root_;
  std::vector<Route> routes_;
};

// The pieces of `path` between "/" with empty pieces dropped; views into path.
std::vector<std::string_view> split_segments(std::string_view path);
// Same, reusing the caller's vector (cleared first) to spare an allocation.
void split_segments(std::string_view path, std::vector<std::string_view>& out);

}  // namespace kiv
