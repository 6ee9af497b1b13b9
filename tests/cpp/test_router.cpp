#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "router.hpp"

namespace kiv {
namespace {

std::optional<std::string> add_rule(Router& r, std::string_view rule) {
  return r.add(rule, {"GET"}, Held{}, std::string(rule), false);
}

Router build(const std::vector<std::string>& rules) {
  Router r;
  for (const auto& rule : rules) {
    auto err = add_rule(r, rule);
    EXPECT_FALSE(err.has_value()) << rule << ": " << err.value_or("");
  }
  return r;
}

// "route[name=value#kind,...]" per candidate, space separated, so one string
// comparison checks order, indices, names, decoded values and kinds.
std::string render(const std::vector<RouteMatch>& ms) {
  std::string out;
  for (const auto& m : ms) {
    if (!out.empty()) out += ' ';
    out += std::to_string(m.route) + '[';
    for (std::size_t i = 0; i < m.args.size(); ++i) {
      if (i) out += ',';
      out += m.args[i].name + '=' + m.args[i].value + '#' + std::to_string(m.args[i].kind);
    }
    out += ']';
  }
  return out;
}

// ---- parse_conv ---------------------------------------------------------

struct ConvCase {
  std::string spec;
  std::uint8_t kind;  // 0: expect an error
  std::vector<std::string> alternatives;
  std::string error;
};

class ParseConvTest : public ::testing::TestWithParam<ConvCase> {};

TEST_P(ParseConvTest, ParsesOrRejects) {
  const auto& c = GetParam();
  SCOPED_TRACE(c.spec);
  auto got = parse_conv(c.spec);
  if (c.kind == 0) {
    ASSERT_TRUE(std::holds_alternative<std::string>(got));
    EXPECT_EQ(std::get<std::string>(got), c.error);
  } else {
    ASSERT_TRUE(std::holds_alternative<Conv>(got)) << std::get<std::string>(got);
    EXPECT_EQ(std::get<Conv>(got).kind, c.kind);
    EXPECT_EQ(std::get<Conv>(got).alternatives, c.alternatives);
  }
}

const std::string kAnyErr = "`any` converter requires arguments, e.g. <any(a, b):name>";
std::string unknown(const std::string& n) {
  return "unknown converter `" + n + "` (supported: string, int, float, path, uuid, any)";
}
std::string malformed(const std::string& n) {
  return "malformed converter `" + n + "`";
}

INSTANTIATE_TEST_SUITE_P(
    Specs, ParseConvTest,
    ::testing::Values(
        ConvCase{"", kKindString, {}, ""}, ConvCase{"string", kKindString, {}, ""},
        ConvCase{"int", kKindInt, {}, ""}, ConvCase{"float", kKindFloat, {}, ""},
        ConvCase{"path", kKindPath, {}, ""}, ConvCase{"uuid", kKindUuid, {}, ""},
        // Unicode White_Space, ASCII and beyond, is trimmed on both ends.
        ConvCase{" \t\n\v\f\rint\r\n ", kKindInt, {}, ""},
        ConvCase{"\u0085\u00a0float\u3000", kKindFloat, {}, ""},
        ConvCase{"\u1680\u2000\u200a\u2028uuid\u2029\u202f\u205f", kKindUuid, {}, ""},
        // Not White_Space: zero-width space and the ASCII separators.
        ConvCase{"\u200bint", 0, {}, unknown("\u200bint")},
        ConvCase{"\x1cint", 0, {}, unknown("\x1cint")}, ConvCase{"Int", 0, {}, unknown("Int")},
        ConvCase{"foo(bar)", 0, {}, unknown("foo")},
        // Arguments of converters other than any are ignored.
        ConvCase{"int(signed=True)", kKindInt, {}, ""},
        ConvCase{"string(minlength=2)", kKindString, {}, ""}, ConvCase{"(x)", kKindString, {}, ""},
        ConvCase{"()", kKindString, {}, ""},  // The name before "(" is not trimmed again.
        ConvCase{"int (x)", 0, {}, unknown("int ")}, ConvCase{"int(", 0, {}, malformed("int(")},
        ConvCase{" int( \u3000", 0, {}, malformed("int(")},
        ConvCase{"int(x)y", 0, {}, malformed("int(x)y")},
        ConvCase{"any(a", 0, {}, malformed("any(a")}, ConvCase{"any", 0, {}, kAnyErr},
        ConvCase{"any()", 0, {}, kAnyErr}, ConvCase{"any(a,,b , )", kKindAny, {"a", "b"}, ""},
        ConvCase{"any( , )", kKindAny, {}, ""},
        ConvCase{"any('a', 'b')", kKindAny, {"'a'", "'b'"}, ""},
        ConvCase{"any(\u3000x\u00a0,y z)", kKindAny, {"x", "y z"}, ""},
        ConvCase{"any(x:y)", kKindAny, {"x:y"}, ""}, ConvCase{"any(a)(b)", kKindAny, {"a)(b"}, ""},
        ConvCase{"any(B,a,B)", kKindAny, {"B", "a", "B"}, ""}));

// ---- Router::add errors -------------------------------------------------

struct ErrCase {
  std::string rule;
  std::string error;
};

class AddErrorTest : public ::testing::TestWithParam<ErrCase> {};

TEST_P(AddErrorTest, RejectsAndLeavesRouterUntouched) {
  const auto& c = GetParam();
  SCOPED_TRACE(c.rule);
  Router r = build({"/q/<int:z>"});
  auto err = add_rule(r, c.rule);
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(*err, c.error);
  // No route appended, no node or converter child created or renamed.
  ASSERT_EQ(r.routes().size(), 1u);
  ASSERT_EQ(r.root().static_children.size(), 1u);
  const Node& q = r.root().static_children[0].node;
  EXPECT_TRUE(q.static_children.empty());
  ASSERT_EQ(q.converter_children.size(), 1u);
  EXPECT_EQ(q.converter_children[0].conv.kind, kKindInt);
  EXPECT_TRUE(q.converter_children[0].node.converter_children.empty());
  EXPECT_FALSE(q.path_tail.has_value());
  EXPECT_FALSE(r.root().path_tail.has_value());
  EXPECT_EQ(render(r.match("/q/1")), "0[z=1#1]");
}

const std::string kSlashErr = "URL rules must start with a leading slash";
const std::string kPathErr = "`path` converter must be the last segment";
std::string needs_name(const std::string& rule) {
  return "converter in `" + rule + "` needs a variable name";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AddErrorTest,
    ::testing::Values(ErrCase{"", kSlashErr}, ErrCase{"users", kSlashErr},
                      ErrCase{" /a", kSlashErr}, ErrCase{"/<>", needs_name("/<>")},
                      ErrCase{"/<int:>", needs_name("/<int:>")},
                      ErrCase{"/<:>", needs_name("/<:>")},
                      ErrCase{"/q/<int:>/b/", needs_name("/q/<int:>/b/")},
                      // The converter's error outranks the missing name.
                      ErrCase{"/<foo:>", unknown("foo")}, ErrCase{"/<int (x):n>", unknown("int ")},
                      ErrCase{"/<a:b:c>", unknown("a:b")}, ErrCase{"/<int(:n>", malformed("int(")},
                      ErrCase{"/<any():n>", kAnyErr}, ErrCase{"/<any:n>", kAnyErr},
                      ErrCase{"/<path:p>/x", kPathErr}, ErrCase{"/q/<int:y>/<path:p>/x", kPathErr},
                      // Left to right, and every syntax error before the path rule.
                      ErrCase{"/<foo:a>/<bar:b>", unknown("foo")},
                      ErrCase{"/<>/<foo:b>", needs_name("/<>/<foo:b>")},
                      ErrCase{"/<path:p>/<foo:x>", unknown("foo")}));

// ---- tree shapes ---------------------------------------------------------

TEST(RouterTree, RootRuleAndStoredFields) {
  Router r;
  ASSERT_FALSE(r.add("/", {"GET", "HEAD"}, Held{}, "index", true).has_value());
  ASSERT_EQ(r.routes().size(), 1u);
  const Route& rt = r.routes()[0];
  EXPECT_EQ(rt.rule, "/");
  EXPECT_EQ(rt.endpoint, "index");
  EXPECT_EQ(rt.methods, (std::vector<std::string>{"GET", "HEAD"}));
  EXPECT_TRUE(rt.auto_options);
  EXPECT_FALSE(rt.trailing_slash);
  EXPECT_EQ(r.root().terminal, 0u);
  EXPECT_TRUE(r.root().static_children.empty());
}

TEST(RouterTree, TrailingSlashFormsShareOneSlot) {
  for (bool slash_first : {false, true}) {
    SCOPED_TRACE(slash_first);
    Router r = slash_first ? build({"/x/", "/x"}) : build({"/x", "/x/"});
    ASSERT_EQ(r.routes().size(), 2u);
    EXPECT_EQ(r.routes()[0].trailing_slash, slash_first);
    EXPECT_EQ(r.routes()[1].trailing_slash, !slash_first);
    ASSERT_EQ(r.root().static_children.size(), 1u);
    EXPECT_EQ(r.root().static_children[0].node.terminal, 0u);
    EXPECT_EQ(render(r.match("/x")), "0[]");
  }
}

TEST(RouterTree, VariableSegmentNameAndConverter) {
  struct Case {
    std::string rule, name;
    std::uint8_t kind;
    std::vector<std::string> alternatives;
  };
  const std::vector<Case> cases = {
      {"/<id>", "id", kKindString, {}},          {"/< id >", " id ", kKindString, {}},
      {"/<:id>", "id", kKindString, {}},         {"/<int(min=1):n>", "n", kKindInt, {}},
      {"/< float :f>", "f", kKindFloat, {}},     {"/<uuid:u>", "u", kKindUuid, {}},
      {"/<any(x:y):n>", "n", kKindAny, {"x:y"}}, {"/<any(a,,b , ):n>", "n", kKindAny, {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    Router r = build({c.rule});
    ASSERT_EQ(r.root().converter_children.size(), 1u);
    const auto& child = r.root().converter_children[0];
    EXPECT_EQ(child.conv.kind, c.kind);
    EXPECT_EQ(child.conv.alternatives, c.alternatives);
    EXPECT_EQ(child.node.terminal, 0u);
    ASSERT_EQ(r.routes()[0].vars.size(), 1u);
    EXPECT_EQ(r.routes()[0].vars[0].name, c.name);
  }
}

TEST(RouterTree, ConverterChildrenSortedByKind) {
  Router r = build({"/<s>", "/<any(a):a>", "/<uuid:u>", "/<float:f>", "/<int:i>", "/<int:j>"});
  const auto& kids = r.root().converter_children;
  ASSERT_EQ(kids.size(), 5u);
  std::string got;
  for (const auto& k : kids) got += std::to_string(k.conv.kind) + ' ';
  EXPECT_EQ(got, "1 2 3 4 5 ");
  EXPECT_EQ(kids[0].node.terminal, 4u);  // "/<int:j>" stays unreachable
}

TEST(RouterTree, PathTailReplacedAndSetsNoTerminal) {
  Router r = build({"/f/<path:a>", "/f/<path:b>", "/<path:p>/"});
  const Node& f = r.root().static_children[0].node;
  ASSERT_TRUE(f.path_tail.has_value());
  EXPECT_EQ(f.path_tail->route, 1u);
  EXPECT_FALSE(f.terminal.has_value());
  EXPECT_TRUE(f.converter_children.empty());
  ASSERT_TRUE(r.root().path_tail.has_value());
  EXPECT_EQ(r.root().path_tail->route, 2u);
  EXPECT_TRUE(r.routes()[2].trailing_slash);
  EXPECT_FALSE(r.root().terminal.has_value());
}

TEST(RouterTree, MovedRouterStillMatches) {
  Router a = build({"/", "/u/<int:id>"});
  Router b(std::move(a));
  EXPECT_EQ(render(b.match("/u/3")), "1[id=3#1]");
  Router c;
  c = std::move(b);
  EXPECT_EQ(render(c.match("/")), "0[]");
  EXPECT_EQ(c.routes().size(), 2u);
}

// ---- converter tests on raw segments -----------------------------------

struct SegCase {
  std::string seg;
  std::string kinds;  // kind codes of the matching converters, in walk order
};

class ConverterMatchTest : public ::testing::TestWithParam<SegCase> {};

TEST_P(ConverterMatchTest, MatchingConverters) {
  static const Router r =
      build({"/<int:v>", "/<float:v>", "/<uuid:v>", "/<any(a, 1):v>", "/<string:v>"});
  const std::string seg = GetParam().seg;
  SCOPED_TRACE(seg);
  std::string kinds;
  for (const auto& m : r.match("/" + seg)) {
    ASSERT_EQ(m.args.size(), 1u);
    EXPECT_EQ(m.route + 1, m.args[0].kind);  // the rules were added in kind order
    kinds += std::to_string(m.args[0].kind);
  }
  EXPECT_EQ(kinds, GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(
    Segments, ConverterMatchTest,
    ::testing::Values(SegCase{"42", "15"}, SegCase{"007", "15"}, SegCase{"0", "15"},
                      SegCase{"99999999999999999999999999999", "15"}, SegCase{"1", "145"},
                      SegCase{"-1", "5"}, SegCase{"1.", "5"}, SegCase{"-.5", "5"},
                      SegCase{"-1.5", "5"}, SegCase{"0.0", "25"},
                      SegCase{"3.25", "25"}, SegCase{".5", "5"}, SegCase{"-", "5"},
                      SegCase{"-.", "5"}, SegCase{"1e5", "5"}, SegCase{"+1", "5"},
                      SegCase{"1.2.3", "5"}, SegCase{"--1", "5"}, SegCase{"1-", "5"},
                      SegCase{"a", "45"}, SegCase{"A", "5"}, SegCase{"%31", "5"},
                      SegCase{"123e4567-e89b-12d3-a456-426614174000", "35"},
                      SegCase{"123E4567-E89B-12D3-A456-42661417400F", "35"},
                      SegCase{"12345678-1234-1234-1234-123456789012", "35"},
                      SegCase{"123e4567-e89b-12d3-a456-42661417400g", "5"},
                      SegCase{"123e4567e89b12d3a456426614174000", "5"},
                      SegCase{"123e4567-e89b-12d3-a456-4266141740000", "5"},
                      SegCase{"123e4567-e89b-12d3-a456_426614174000", "5"},
                      SegCase{"123e4567-e89b-12d3a-456-426614174000", "5"}));

// ---- walk: candidates, order, arguments -----------------------------------

struct WalkCase {
  std::vector<std::string> rules;
  std::string path;
  std::string want;
};

class WalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(WalkTest, Candidates) {
  const auto& c = GetParam();
  SCOPED_TRACE(c.path);
  Router r = build(c.rules);
  EXPECT_EQ(render(r.match(c.path)), c.want);
}

const std::vector<std::string> kUsers = {"/u/new", "/u/<int:id>", "/u/<name>", "/u/<path:rest>"};

INSTANTIATE_TEST_SUITE_P(
    Paths, WalkTest,
    ::testing::Values(
        WalkCase{kUsers, "/u/new", "0[] 2[name=new#5] 3[rest=new#6]"},
        WalkCase{kUsers, "/u/7", "1[id=7#1] 2[name=7#5] 3[rest=7#6]"},
        WalkCase{kUsers, "/u/7/x", "3[rest=7/x#6]"}, WalkCase{kUsers, "/u", ""},
        WalkCase{kUsers, "/u/", ""}, WalkCase{{"/"}, "/", "0[]"}, WalkCase{{"/"}, "", "0[]"},
        WalkCase{{"/"}, "//", "0[]"}, WalkCase{{"/"}, "/x", ""},
        WalkCase{{"/a/<path:p>"}, "/a/b", "0[p=b#6]"}, WalkCase{{"/a/<path:p>"}, "/a", ""},
        WalkCase{{"/a/<path:p>"}, "/a/b%2Fc/d", "0[p=b/c/d#6]"},
        WalkCase{{"/a/<path:p>"}, "/a//b//c/", "0[p=b/c#6]"},
        WalkCase{{"/a/<path:p>"}, "/a/%E2%82%AC/%ff", "0[p=\u20ac/\ufffd#6]"},
        WalkCase{{"/a/<path:p>"}, "/a/\xff/b", "0[p=\ufffd/b#6]"},
        WalkCase{{"/a/<x>/d"}, "/a/b%2Fc/d", "0[x=b/c#5]"},
        WalkCase{{"/v/<any(A):k>"}, "/v/%41", ""}, WalkCase{{"/v/<any(A):k>"}, "/v/A", "0[k=A#4]"},
        WalkCase{{"/v/<k>"}, "/v/%41", "0[k=A#5]"},
        WalkCase{{"/n/<int:i>"}, "/n/0012", "0[i=0012#1]"},
        WalkCase{{"/n/<int:i>", "/n/<float:f>"}, "/n/-3", ""},
        WalkCase{{"/n/<int(signed=True):i>"}, "/n/-3", "0[i=-3#1]"},
        WalkCase{{"/n/<int:i>", "/n/<float( signed = True ):f>"}, "/n/-3.5", "1[f=-3.5#2]"},
        // Rules sharing a converter position keep their own sign.
        WalkCase{{"/a/<float:x>", "/a/<float(signed=True):y>/z"}, "/a/-1.5", ""},
        WalkCase{{"/a/<float:x>", "/a/<float(signed=True):y>/z"}, "/a/-1.5/z", "1[y=-1.5#2]"},
        WalkCase{{"/a/<int(signed=True):x>", "/a/<int:y>/z"}, "/a/-1/z", ""},
        WalkCase{{"/<s>"}, "/%FF", "0[s=\ufffd#5]"}, WalkCase{{"/<s>"}, "/a+b", "0[s=a+b#5]"},
        WalkCase{{"/<s>"}, "/%zz%4", "0[s=%zz%4#5]"},
        WalkCase{{"/<s>"}, "/%e2%82%ac", "0[s=\u20ac#5]"},
        WalkCase{{"/<s>"}, "/\xe2\x82", "0[s=\ufffd#5]"},
        WalkCase{{"/caf\u00e9"}, "/caf\u00e9", "0[]"},
        // Static text is compared with the decoded segment; "%2F" stays inside it.
        WalkCase{{"/caf\u00e9"}, "/caf%C3%A9", "0[]"}, WalkCase{{"/caf\u00e9"}, "/caf%C3", ""},
        WalkCase{{"/caf\u00e9"}, "/caf%c3%A9", "0[]"}, WalkCase{{"/a/b"}, "/a%2Fb", ""},
        WalkCase{{"/a/b", "/a%2Fb"}, "/a%2Fb", ""}, WalkCase{{"/a%2Fb"}, "/a%252Fb", "0[]"},
        WalkCase{{"/\xef\xbf\xbd"}, "/%FF", ""}, WalkCase{{"/100%"}, "/100%", "0[]"},
        WalkCase{{"/a/b/<x>"}, "/%61/b/%62", "0[x=b#5]"},
        WalkCase{{"/Users"}, "/users", ""},
        WalkCase{{"/p/<int:a>", "/p/<b>"}, "/p/5", "0[a=5#1] 1[b=5#5]"},
        WalkCase{{"/<string:s>", "/<int:i>"}, "/3", "1[i=3#1] 0[s=3#5]"},
        // Each candidate carries its own rule's names and `any` alternatives.
        WalkCase{{"/u/<int:id>", "/u/<int:uid>/edit"}, "/u/5/edit", "1[uid=5#1]"},
        WalkCase{{"/u/<int:id>", "/u/<int:uid>/<path:p>"}, "/u/5/e", "1[uid=5#1,p=e#6]"},
        WalkCase{{"/v/<any(a,b):k>", "/v/<any(z):j>/x"}, "/v/z/x", "1[j=z#4]"},
        WalkCase{{"/v/<any(a,b):k>", "/v/<any(z):j>/x"}, "/v/b/x", ""},
        WalkCase{{"/v/<any(a,b):k>", "/v/<any(z):j>/x"}, "/v/z", ""},
        WalkCase{{"/v/<any(a,b):k>/<p>", "/v/<any(b,c):j>/<any(d):q>"}, "/v/b/d",
                 "1[j=b#4,q=d#4] 0[k=b#4,p=d#5]"},
        WalkCase{{"/v/<any( , ):k>"}, "/v/a", ""},
        WalkCase{{"/f/<path:a>", "/f/<path:b>"}, "/f/x", "1[b=x#6]"},
        WalkCase{{"/x", "/x/"}, "/x/", "0[]"},
        // A segment is a variable only when it is "<...>" as a whole.
        WalkCase{{"/<int:id>.json", "/<a", "/x<y>"}, "/<int:id>.json", "0[]"},
        WalkCase{{"/<int:id>.json", "/<a", "/x<y>"}, "/5.json", ""},
        WalkCase{{"/<int:id>.json", "/<a", "/x<y>"}, "/x<y>", "2[]"},
        WalkCase{{"/a//b", "/a/b"}, "/a/b", "0[]"},
        WalkCase{{"/<int:a>/<b>/<path:c>"}, "/1/x%20y/y/z", "0[a=1#1,b=x y#5,c=y/z#6]"},
        WalkCase{{"/<a>/<a>"}, "/1/2", "0[a=1#5,a=2#5]"},
        // Depth first: everything under the static child "a" (its static
        // child, then its converter, then its path tail) before the root's
        // converter.
        WalkCase{{"/a/<x>/c", "/a/b/<y>", "/<z>/b/c", "/a/<path:p>"},
                 "/a/b/c",
                 "1[y=c#5] 0[x=b#5] 3[p=b/c#6] 2[z=a#5]"}));

// ---- split_segments -----------------------------------------------------

TEST(SplitSegments, DropsEmptyPiecesAndViewsIntoInput) {
  struct Case {
    std::string path;
    std::vector<std::string_view> want;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"/", {}},
      {"///", {}},
      {"/a", {"a"}},
      {"a/b", {"a", "b"}},
      {"/a//b/", {"a", "b"}},
      {"///a///", {"a"}},
      {"/%2F/ /", {"%2F", " "}},
  };
  std::vector<std::string_view> reused{"stale"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto got = split_segments(c.path);
    EXPECT_EQ(got, c.want);
    for (auto s : got) {
      EXPECT_GE(s.data(), c.path.data());
      EXPECT_LE(s.data() + s.size(), c.path.data() + c.path.size());
    }
    split_segments(c.path, reused);
    EXPECT_EQ(reused, c.want);
  }
}

}  // namespace
}  // namespace kiv
