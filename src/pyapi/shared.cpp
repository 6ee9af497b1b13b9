#include <climits>
#include <cstdlib>

#include "pyapi/server.hpp"

namespace kiv {

std::variant<std::shared_ptr<const Router>, std::string> compile_rules(
    const std::vector<RuleSpec>& rules) {
  auto router = std::make_shared<Router>();
  for (const RuleSpec& r : rules) {
    if (auto err = router->add(r.rule, r.methods, HeldRef::borrow(r.view.get()), r.endpoint,
                               r.auto_options, r.strict_slashes))
      return std::move(*err);
  }
  return std::shared_ptr<const Router>(std::move(router));
}

namespace {
std::string canonical_or_same(const std::string& folder) {
  char buf[PATH_MAX];
  if (realpath(folder.c_str(), buf)) return buf;
  return folder;
}
}  // namespace

SharedPtr build_shared(ServerConfig& cfg) {
  if (!cfg.router) {
    auto compiled = compile_rules(cfg.rules);
    if (auto* err = std::get_if<std::string>(&compiled)) {
      PyErr_SetString(PyExc_ValueError, err->c_str());
      return nullptr;
    }
    cfg.router = std::get<0>(std::move(compiled));
  }
  struct Check {
    const HeldRef& ref;
    const char* message;
  };
  const Check checks[] = {
      {cfg.request_class, "request class not configured (call set_request_class)"},
      {cfg.dispatch, "dispatch not configured (call set_dispatch)"},
      {cfg.pipeline, "pipeline not configured (call set_pipeline)"},
      {cfg.convert_slow, "converter not configured (call set_convert_slow)"},
      {cfg.debug_page, "debug page not configured (call set_debug_page)"},
      {cfg.http_exception, "HTTPException not configured (call set_http_exception)"},
      {cfg.uuid_class, "uuid.UUID not configured (call set_uuid_class)"},
  };
  for (const Check& c : checks) {
    if (!c.ref) {
      PyErr_SetString(PyExc_RuntimeError, c.message);
      return nullptr;
    }
  }
  auto shared = std::make_shared<Shared>();
  shared->router = cfg.router;
  shared->request_class = HeldRef::borrow(cfg.request_class.get());
  shared->dispatch = HeldRef::borrow(cfg.dispatch.get());
  shared->pipeline = HeldRef::borrow(cfg.pipeline.get());
  shared->convert_slow = HeldRef::borrow(cfg.convert_slow.get());
  shared->debug_page = HeldRef::borrow(cfg.debug_page.get());
  shared->http_exception = HeldRef::borrow(cfg.http_exception.get());
  shared->uuid_class = HeldRef::borrow(cfg.uuid_class.get());
  if (cfg.loop_pipeline) {
    // A view wrapped for the event loop carries the coroutine function as
    // `_kiv_async`; its requests are run on the loop, not on the pool.
    shared->loop_pipeline = HeldRef::borrow(cfg.loop_pipeline.get());
    const auto& routes = cfg.router->routes();
    shared->on_loop.resize(routes.size());
    for (std::size_t i = 0; i < routes.size(); ++i) {
      PyObject* view = HeldRef::object(routes[i].view);
      int has = view ? PyObject_HasAttrString(view, "_kiv_async") : 0;
      shared->on_loop[i] = has > 0;
    }
  }
  if (!cfg.ws_rules.empty() && cfg.ws_entry) {
    auto compiled = compile_rules(cfg.ws_rules);
    if (auto* err = std::get_if<std::string>(&compiled)) {
      PyErr_SetString(PyExc_ValueError, err->c_str());
      return nullptr;
    }
    shared->ws_router = std::get<0>(std::move(compiled));
    shared->ws_entry = HeldRef::borrow(cfg.ws_entry.get());
  }
  shared->statics.reserve(cfg.statics.size());
  for (const auto& [url, folder] : cfg.statics)
    shared->statics.emplace_back(url, canonical_or_same(folder));
  shared->wsgi_mounts.reserve(cfg.wsgi_mounts.size());
  for (const WsgiMount& m : cfg.wsgi_mounts)
    shared->wsgi_mounts.push_back(
        {m.prefix, HeldRef::borrow(m.host.get()), HeldRef::borrow(m.base.get()), m.asgi});
  shared->prefix_header = cfg.prefix_header;
  shared->prefix_trusted = cfg.prefix_trusted;
  shared->max_body = cfg.max_body;
  shared->cc_max_age = cfg.cc_max_age;
  shared->fast = cfg.fast;
  shared->debug = cfg.debug;
  shared->log = cfg.log;
  shared->trap_http = cfg.trap_http;
  return shared;
}

}  // namespace kiv
