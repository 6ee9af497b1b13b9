#include "py/handle.hpp"

#include <algorithm>

#include "http/framing.hpp"
#include "http/read_deadline.hpp"
#include "http/static_cache.hpp"
#include "http/static_files.hpp"
#include "percent.hpp"
#include "py/dispatch.hpp"
#include "py/ws.hpp"
#include "py/wsgi_dispatch.hpp"
#include "runtime.hpp"

// GCC 12 reports Asio's coroutine frames, which its own operator new and
// operator delete allocate and free, as mismatched when it inlines the frame
// allocation into a large coroutine (a false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace kiv {

namespace {

bool trailing_flag(std::string_view path) {
  return path.size() >= 2 && path.back() == '/';
}

// Candidates whose rule agrees with the path on the trailing slash.
std::vector<RouteMatch> matches_for(const Router& router, std::string_view path) {
  std::vector<RouteMatch> all = router.match(path);
  const bool trailing = trailing_flag(path);
  const auto& routes = router.routes();
  std::erase_if(all, [&](const RouteMatch& m) {
    const Route& r = routes[m.route];
    return r.trailing_slash != trailing && r.strict_slashes;
  });
  return all;
}

void append_escaping_backslashes(std::string& out, std::string_view s) {
  for (char c : s) {
    if (c == '\\')
      out += "%5C";
    else
      out += c;
  }
}

// 308 to a path on this server. Backslashes are escaped because browsers read
// "/\host" like "//host", which would make this an open redirect; in the query
// too, since clients disagree on where a Location's path ends.
ResponseOut redirect(std::string_view path, std::string_view query_string) {
  std::string location;
  location.reserve(path.size() + query_string.size() + 8);
  append_escaping_backslashes(location, path);
  if (!query_string.empty()) {
    location += '?';
    append_escaping_backslashes(location, query_string);
  }
  ResponseOut r;
  r.status = 308;
  r.headers.emplace_back("Location", std::move(location));
  return r;
}

// The prefix a slash redirect's path goes under (set_redirect_prefix), or "".
// Only a path that starts with one "/" is taken: "//host" would send the
// client to another site.
std::string redirect_prefix(const Shared& sh, const Req& req) {
  std::string joined;
  for (const auto& [name, value] : req.headers) {
    if (!iequals_ascii(name, sh.prefix_header)) continue;
    if (!joined.empty()) joined += ',';
    joined += value;
  }
  std::vector<std::string_view> values;
  for (std::size_t start = 0; start <= joined.size();) {
    std::size_t end = joined.find(',', start);
    if (end == std::string::npos) end = joined.size();
    values.push_back(std::string_view(joined).substr(start, end - start));
    start = end + 1;
  }
  if (joined.empty() || values.size() < sh.prefix_trusted) return {};
  std::string_view prefix = values[values.size() - sh.prefix_trusted];
  while (!prefix.empty() && (prefix.front() == ' ' || prefix.front() == '\t'))
    prefix.remove_prefix(1);
  while (!prefix.empty() && (prefix.back() == ' ' || prefix.back() == '\t' || prefix.back() == '/'))
    prefix.remove_suffix(1);
  if (prefix.empty() || prefix.front() != '/' || (prefix.size() > 1 && prefix[1] == '/') ||
      prefix.find('\\') != std::string_view::npos)
    return {};
  return std::string(prefix);
}

// A slash redirect to path, under the request's prefix when the server takes one.
ResponseOut slash_redirect(const Shared& sh, const Req& req, std::string_view path) {
  if (sh.prefix_header.empty()) return redirect(path, req.query_string);
  return redirect(redirect_prefix(sh, req) + std::string(path), req.query_string);
}

std::string collapse_slashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return out;
}

// The path's bytes with %XX escapes resolved (no UTF-8 reading): WSGI hands
// them on as latin-1, and mounts are chosen by them.
std::string raw_path(std::string_view path) {
  std::string raw;
  raw.reserve(path.size());
  percent_unescape(path, raw, false);
  return raw;
}

void add_unique(std::vector<std::string>& list, std::string_view m) {
  if (std::find(list.begin(), list.end(), m) == list.end()) list.emplace_back(m);
}

// The first of the matched routes that answers `method` (HEAD as GET), or null;
// `allow` gets every method the matched rules answer, sorted when none does.
const RouteMatch* choose(const Router& router, const std::vector<RouteMatch>& matches,
                         std::string_view method, std::vector<std::string>& allow) {
  const auto& routes = router.routes();
  const bool is_head = method == "HEAD";
  const RouteMatch* chosen = nullptr;
  for (const RouteMatch& m : matches) {
    const Route& r = routes[m.route];
    bool has_get = false;
    for (const std::string& meth : r.methods) {
      if (meth == "GET") has_get = true;
      if (!chosen && (meth == method || (is_head && meth == "GET"))) chosen = &m;
      add_unique(allow, meth);
    }
    if (has_get) add_unique(allow, "HEAD");
    if (r.auto_options) add_unique(allow, "OPTIONS");
  }
  if (!chosen) std::sort(allow.begin(), allow.end());
  return chosen;
}

// "GET, HEAD, OPTIONS": an Allow header's value.
std::string joined(const std::vector<std::string>& methods) {
  std::string out;
  for (const std::string& m : methods) {
    if (!out.empty()) out += ", ";
    out += m;
  }
  return out;
}

// The mount that serves this path: longest url_path wins, the first
// registered among equals.
const std::pair<std::string, std::string>* find_mount(const Shared& sh, std::string_view path) {
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& m : sh.statics) {
    const std::string& url = m.first;
    const bool applies = path == url || (path.size() > url.size() && path.starts_with(url) &&
                                         path[url.size()] == '/');
    if (applies && (!best || url.size() > best->first.size())) best = &m;
  }
  return best;
}

// A request no rule or static folder answers. A WSGI mount's application
// decides everything under its prefix (no 404, 405, OPTIONS answer or slash
// redirect of ours); anything else goes to the 404 handler.
asio::awaitable<ResponseOut> unrouted(Req req, SharedPtr shared) {
  const Shared& sh = *shared;
  if (!sh.wsgi_mounts.empty()) {
    std::string raw = raw_path(req.path);
    if (const WsgiMount* app = wsgi_mount_for(sh, raw))
      return dispatch_wsgi(std::move(req), std::move(raw), app, std::move(shared));
  }
  DispatchJob job{std::nullopt, std::move(req), {}, {}, "404", {}, std::move(shared)};
  return dispatch_python(std::move(job));
}

asio::awaitable<ResponseOut> answer_now(ResponseOut resp) {
  co_return resp;
}

// Note for editors: g++ 12 miscompiles some coroutine locals initialised from
// a function's returned prvalue and temporaries inside co_await expressions
// (seen as a double free); build such values in place as named locals.
asio::awaitable<ResponseOut> serve_mount(Req req, SharedPtr shared, StaticCache* cache,
                                         const std::pair<std::string, std::string>* mount) {
  std::string_view rel =
      std::string_view(req.path).substr(std::min(req.path.size(), mount->first.size() + 1));
  // Taken before the pool looks at the file, so a kept answer is never
  // newer than what the file system said.
  const std::int64_t now = coarse_now();
  if (cache) {
    if (auto hot = cache->find(mount->second, rel, req.headers, now)) {
      ResponseOut copy = *hot;  // a named local, not a temporary (see above)
      co_return copy;
    }
  }
  // The request stays in this frame while the pool works on it.
  auto serve = [&folder = mount->second, rel, &headers = req.headers, cc = shared->cc_max_age]() {
    return serve_static_sync(folder, rel, headers, cc);
  };
  auto pending = run_blocking(std::move(serve));
  auto served = co_await std::move(pending);
  if (served) {
    if (cache) cache->keep(mount->second, rel, req.headers, *served, now);
    co_return std::move(*served);
  }
  auto answer = unrouted(std::move(req), std::move(shared));
  co_return co_await std::move(answer);
}

}  // namespace

// Not a coroutine: it decides at once and returns what answers, so a request
// that waits for its view holds no frame of this function (a waiting request's
// memory is mostly its frames).
asio::awaitable<ResponseOut> handle(Req req, SharedPtr shared, StaticCache* cache) {
  const Shared& sh = *shared;
  if (req.body.size() > sh.max_body) return answer_now(simple(413));

  if (const auto* mount = find_mount(sh, req.path))
    return serve_mount(std::move(req), std::move(shared), cache, mount);

  std::shared_ptr<const Router> router = sh.router;
  const std::string_view path = req.path;
  if (path.size() > 1 && path.find("//") != std::string_view::npos) {
    // Under a WSGI mount the application gets the path as sent, unless a
    // rule of ours would answer its single-slash form.
    if (sh.wsgi_mounts.empty() || !router->match(path).empty())
      return answer_now(slash_redirect(sh, req, collapse_slashes(path)));
    std::string raw = raw_path(path);
    if (const WsgiMount* app = wsgi_mount_for(sh, raw))
      return dispatch_wsgi(std::move(req), std::move(raw), app, std::move(shared));
    return answer_now(slash_redirect(sh, req, collapse_slashes(path)));
  }

  std::vector<RouteMatch> matches = matches_for(*router, path);
  if (matches.empty()) {
    std::string alt;
    if (path.size() > 1 && path.back() == '/')
      alt = path.substr(0, path.size() - 1);
    else
      alt = std::string(path) + "/";
    if (!matches_for(*router, alt).empty()) return answer_now(slash_redirect(sh, req, alt));
    return unrouted(std::move(req), std::move(shared));
  }

  const auto& routes = router->routes();
  std::vector<std::string> allow;
  const RouteMatch* chosen = choose(*router, matches, req.method, allow);

  if (chosen) {
    DispatchJob job{chosen->route,    std::move(req),
                    chosen->args,     routes[chosen->route].endpoint,
                    std::string(),    {},
                    std::move(shared)};
    return dispatch_python(std::move(job));
  }
  if (req.method == "OPTIONS") {
    ResponseOut r;
    r.status = 200;
    r.headers.emplace_back("Allow", joined(allow));
    r.headers.emplace_back("Content-Type", std::string(kHtmlType));
    return answer_now(std::move(r));
  }
  DispatchJob job{std::nullopt, std::move(req), {}, {}, "405", std::move(allow), std::move(shared)};
  return dispatch_python(std::move(job));
}

namespace {

PyObject* text(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* text_list(const std::vector<std::string>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  for (std::size_t i = 0; list && i < items.size(); ++i) {
    PyObject* s = text(items[i]);
    if (!s) {
      Py_DecRef(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

PyObject* location_of(const ResponseOut& r) {
  return text(r.headers.front().second);
}

}  // namespace

// The same decisions as handle(), in its order, after the static folders.
PyObject* match_for_python(const Router& router, std::string_view method, std::string_view path,
                           std::string_view query) {
  if (path.size() > 1 && path.find("//") != std::string_view::npos) {
    const ResponseOut r = redirect(collapse_slashes(path), query);
    PyRef location = PyRef::steal(location_of(r));
    if (!location) return nullptr;
    // A rule would answer the single-slash form: redirect; else a WSGI mount may take it.
    return Py_BuildValue("(iO)", router.match(path).empty() ? 404 : 308, location.get());
  }
  std::vector<RouteMatch> matches = matches_for(router, path);
  if (matches.empty()) {
    std::string alt = path.size() > 1 && path.back() == '/'
                          ? std::string(path.substr(0, path.size() - 1))
                          : std::string(path) + "/";
    if (!matches_for(router, alt).empty()) {
      PyRef location = PyRef::steal(location_of(redirect(alt, query)));
      return location ? Py_BuildValue("(iO)", 308, location.get()) : nullptr;
    }
    return Py_BuildValue("(iO)", 404, Py_None);
  }
  const auto& routes = router.routes();
  std::vector<std::string> allow;
  const RouteMatch* chosen = choose(router, matches, method, allow);
  if (chosen) {
    const Route& r = routes[chosen->route];
    PyRef args = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(chosen->args.size())));
    if (!args) return nullptr;
    for (std::size_t i = 0; i < chosen->args.size(); ++i) {
      const RouteArg& a = chosen->args[i];
      PyObject* item = Py_BuildValue("(NNi)", text(a.name), text(a.value), a.kind);
      if (!item) return nullptr;
      PyList_SetItem(args.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyObject* view = HeldRef::object(r.view);
    PyRef endpoint = PyRef::steal(text(r.endpoint));
    if (!endpoint) return nullptr;
    return Py_BuildValue("(iOOO)", 0, view ? view : Py_None, endpoint.get(), args.get());
  }
  if (method == "OPTIONS") return Py_BuildValue("(iN)", 200, text(joined(allow)));
  return Py_BuildValue("(iN)", 405, text_list(allow));
}

namespace {

class AppHandler final : public Handler {
 public:
  explicit AppHandler(SharedPtr shared) : shared_(std::move(shared)) {
    max_body = shared_->max_body;
    log = shared_->log;
  }
  asio::awaitable<ResponseOut> handle(Req req) override {
    return kiv::handle(std::move(req), shared_, &static_cache_);
  }
  asio::awaitable<WsAnswer> upgrade(Req& req, const ws::Upgrade& up) override {
    return upgrade_python(req, up, shared_);
  }

 private:
  SharedPtr shared_;
  StaticCache static_cache_;
};

}  // namespace

HandlerPtr make_app_handler(SharedPtr shared) {
  return std::make_shared<AppHandler>(std::move(shared));
}

}  // namespace kiv
