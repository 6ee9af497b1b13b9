// The extension module `_kiv` and its one class, `Server`: configuration
// methods live here; request handling, lifecycle and test requests are in
// their own files and only wrapped.
#include <Python.h>

#include <algorithm>
#include <new>

#include "pyapi/args.hpp"
#include "py/loop.hpp"
#include "py/ws.hpp"
#include "pyapi/server.hpp"
#include "runtime.hpp"

namespace kiv {
namespace {

constexpr const char* kVersion = "0.1.0";

// Every entry from Python marks the lock as held (so HeldRefs dropped here
// release at once) and first releases references queued by other threads.
struct Entry {
  GilMark mark;
  Entry() { drain_pending_releases(); }
};

ServerObject* as_server(PyObject* self) {
  return reinterpret_cast<ServerObject*>(self);
}

bool parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
           PyObject** a0, PyObject** a1 = nullptr, PyObject** a2 = nullptr, PyObject** a3 = nullptr,
           PyObject** a4 = nullptr, PyObject** a5 = nullptr) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), a0, a1, a2,
                                     a3, a4, a5) != 0;
}

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

// --- construction and destruction ------------------------------------------

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_Size(args) > 0) || (kwargs && PyDict_Size(kwargs) > 0)) {
    PyErr_SetString(PyExc_TypeError, "Server() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  auto* s = as_server(self);
  s->borrow = 0;
  s->config = new (std::nothrow) ServerConfig();
  if (!s->config) {
    Py_DecRef(self);
    return PyErr_NoMemory();
  }
  return self;
}

void server_dealloc(PyObject* self) {
  Entry entry;
  PyTypeObject* type = Py_TYPE(self);
  delete as_server(self)->config;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// --- configuration ----------------------------------------------------------

PyObject* add_rule(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"rule",         "methods",        "view", "endpoint",
                                "auto_options", "strict_slashes", nullptr};
  PyObject *o_rule, *o_methods, *o_view, *o_endpoint, *o_auto, *o_strict = Py_True;
  if (!parse(args, kwargs, "OOOOO|O:add_rule", names, &o_rule, &o_methods, &o_view, &o_endpoint,
             &o_auto, &o_strict))
    return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  RuleSpec given;
  if (!arg_str(o_rule, "rule", given.rule) || !arg_str_list(o_methods, "methods", given.methods) ||
      !arg_str(o_endpoint, "endpoint", given.endpoint) ||
      !arg_bool(o_auto, "auto_options", given.auto_options) ||
      !arg_bool(o_strict, "strict_slashes", given.strict_slashes))
    return nullptr;
  given.view = HeldRef::borrow(o_view);
  // Validate the rule alone; rules are compiled together when a server starts.
  Router scratch;
  if (auto err = scratch.add(given.rule, given.methods, HeldRef::borrow(o_view), given.endpoint,
                             given.auto_options)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  ServerConfig& cfg = *as_server(self)->config;
  cfg.rules.push_back(std::move(given));
  cfg.router.reset();
  return none();
}

PyObject* add_ws_rule(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"rule", "view", "endpoint", nullptr};
  PyObject *o_rule, *o_view, *o_endpoint;
  if (!parse(args, kwargs, "OOO:add_ws_rule", names, &o_rule, &o_view, &o_endpoint))
    return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  RuleSpec given;
  if (!arg_str(o_rule, "rule", given.rule) || !arg_str(o_endpoint, "endpoint", given.endpoint))
    return nullptr;
  given.methods = {"GET"};
  given.auto_options = false;
  given.view = HeldRef::borrow(o_view);
  Router scratch;
  if (auto err = scratch.add(given.rule, given.methods, HeldRef::borrow(o_view), given.endpoint,
                             false)) {
    PyErr_SetString(PyExc_ValueError, err->c_str());
    return nullptr;
  }
  as_server(self)->config->ws_rules.push_back(std::move(given));
  return none();
}

PyObject* rule_count(PyObject* self, PyObject*) {
  Entry entry;
  Borrow hold(as_server(self), false);
  if (!hold) return nullptr;
  return PyLong_FromSize_t(as_server(self)->config->rules.size());
}

PyObject* set_static(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"url_path", "folder", nullptr};
  PyObject *o_url, *o_folder;
  if (!parse(args, kwargs, "OO:set_static", names, &o_url, &o_folder)) return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  std::string url, folder;
  if (!arg_str(o_url, "url_path", url) || !arg_path(o_folder, "folder", folder)) return nullptr;
  auto& statics = as_server(self)->config->statics;
  std::erase_if(statics, [&](const auto& m) { return m.first == url; });
  statics.emplace_back(std::move(url), std::move(folder));
  return none();
}

// A WSGI mount (base: its environ's constant keys) or, with base null, an
// ASGI mount, whose requests run on the event loop.
PyObject* add_mount(PyObject* self, PyObject* o_prefix, PyObject* o_host, PyObject* o_base) {
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  std::string prefix;
  if (!arg_str(o_prefix, "prefix", prefix)) return nullptr;
  if (!prefix.empty() && (prefix.front() != '/' || prefix.back() == '/')) {
    PyErr_SetString(PyExc_ValueError, o_base ? "a WSGI mount prefix is \"\" or \"/a/b\""
                                             : "an ASGI mount prefix is \"\" or \"/a/b\"");
    return nullptr;
  }
  auto& mounts = as_server(self)->config->wsgi_mounts;
  std::erase_if(mounts, [&](const WsgiMount& m) { return m.prefix == prefix; });
  mounts.push_back({std::move(prefix), HeldRef::borrow(o_host), HeldRef::borrow(o_base),
                    o_base == nullptr});
  // The longest prefix decides, so it is tried first.
  std::stable_sort(mounts.begin(), mounts.end(), [](const WsgiMount& a, const WsgiMount& b) {
    return a.prefix.size() > b.prefix.size();
  });
  return none();
}

PyObject* set_wsgi_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"prefix", "host", "base", nullptr};
  PyObject *o_prefix, *o_host, *o_base;
  if (!parse(args, kwargs, "OOO:set_wsgi_mount", names, &o_prefix, &o_host, &o_base))
    return nullptr;
  if (!PyDict_Check(o_base)) {
    PyErr_SetString(PyExc_TypeError, "base must be a dict");
    return nullptr;
  }
  return add_mount(self, o_prefix, o_host, o_base);
}

PyObject* set_asgi_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"prefix", "host", nullptr};
  PyObject *o_prefix, *o_host;
  if (!parse(args, kwargs, "OO:set_asgi_mount", names, &o_prefix, &o_host)) return nullptr;
  return add_mount(self, o_prefix, o_host, nullptr);
}

// The seven setters differ only in the field they fill and the parameter name.
template <HeldRef ServerConfig::*Field>
PyObject* set_ref(PyObject* self, PyObject* args, PyObject* kwargs, const char* const* names,
                  const char* format) {
  Entry entry;
  PyObject* obj;
  if (!parse(args, kwargs, format, names, &obj)) return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  HeldRef fresh = HeldRef::borrow(obj);  // take the new reference before dropping the old
  as_server(self)->config->*Field = std::move(fresh);
  return none();
}

const char* kNamesCls[] = {"cls", nullptr};
const char* kNamesF[] = {"f", nullptr};

#define KIV_SETTER(fn, field, names, pyname)                                      \
  PyObject* fn(PyObject* self, PyObject* args, PyObject* kwargs) {                \
    return set_ref<&ServerConfig::field>(self, args, kwargs, names, "O:" pyname); \
  }
KIV_SETTER(set_request_class, request_class, kNamesCls, "set_request_class")
KIV_SETTER(set_dispatch, dispatch, kNamesF, "set_dispatch")
KIV_SETTER(set_pipeline, pipeline, kNamesF, "set_pipeline")
KIV_SETTER(set_convert_slow, convert_slow, kNamesF, "set_convert_slow")
KIV_SETTER(set_debug_page, debug_page, kNamesF, "set_debug_page")
KIV_SETTER(set_http_exception, http_exception, kNamesCls, "set_http_exception")
KIV_SETTER(set_uuid_class, uuid_class, kNamesCls, "set_uuid_class")
KIV_SETTER(set_loop_pipeline, loop_pipeline, kNamesF, "set_loop_pipeline")
KIV_SETTER(set_ws_entry, ws_entry, kNamesF, "set_ws_entry")
#undef KIV_SETTER

PyObject* set_flags(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"fast",       "debug",     "log",  "max_body",
                                "cc_max_age", "trap_http", nullptr};
  PyObject *o_fast, *o_debug, *o_log, *o_max, *o_cc, *o_trap;
  if (!parse(args, kwargs, "OOOOOO:set_flags", names, &o_fast, &o_debug, &o_log, &o_max, &o_cc,
             &o_trap))
    return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  bool fast, debug, log, trap;
  std::uint64_t max_body;
  std::int64_t cc;
  // All six convert before any is stored: a failed call changes nothing.
  if (!arg_bool(o_fast, "fast", fast) || !arg_bool(o_debug, "debug", debug) ||
      !arg_bool(o_log, "log", log) || !arg_u64(o_max, "max_body", max_body) ||
      !arg_i64(o_cc, "cc_max_age", cc) || !arg_bool(o_trap, "trap_http", trap))
    return nullptr;
  ServerConfig& cfg = *as_server(self)->config;
  cfg.fast = fast;
  cfg.debug = debug;
  cfg.log = log;
  cfg.max_body = max_body;
  cfg.cc_max_age = cc;
  cfg.trap_http = trap;
  return none();
}

PyObject* set_redirect_prefix(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  static const char* names[] = {"header", "trusted", nullptr};
  PyObject *o_header, *o_trusted;
  if (!parse(args, kwargs, "OO:set_redirect_prefix", names, &o_header, &o_trusted))
    return nullptr;
  Borrow hold(as_server(self), true);
  if (!hold) return nullptr;
  std::string header;
  std::uint64_t trusted;
  if (!arg_str(o_header, "header", header) || !arg_u64(o_trusted, "trusted", trusted))
    return nullptr;
  for (char& c : header) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  ServerConfig& cfg = *as_server(self)->config;
  cfg.prefix_header = trusted ? std::move(header) : std::string();
  cfg.prefix_trusted = trusted;
  return none();
}

// --- properties -------------------------------------------------------------

PyObject* get_version(PyObject* self, void*) {
  Entry entry;
  Borrow hold(as_server(self), false);
  if (!hold) return nullptr;
  return PyUnicode_FromString(kVersion);
}

PyObject* get_cpu_count(PyObject* self, void*) {
  Entry entry;
  Borrow hold(as_server(self), false);
  if (!hold) return nullptr;
  std::size_t n = available_parallelism();
  return PyLong_FromSize_t(n == 0 ? 1 : n);
}

PyObject* get_running_servers(PyObject* self, void*) {
  Entry entry;
  Borrow hold(as_server(self), false);
  if (!hold) return nullptr;
  return PyLong_FromSize_t(running_server_count());
}

// --- wrappers for methods that live in other files -------------------------

template <PyObject* (*Fn)(ServerObject*, PyObject*, PyObject*)>
PyObject* wrap(PyObject* self, PyObject* args, PyObject* kwargs) {
  Entry entry;
  return Fn(as_server(self), args, kwargs);
}

#define KW(fn) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS

PyMethodDef methods[] = {
    {"add_rule", KW(add_rule),
     "add_rule($self, rule, methods, view, endpoint, auto_options, strict_slashes=True)\n--\n\n"},
    {"rule_count", rule_count, METH_NOARGS, "rule_count($self)\n--\n\n"},
    {"set_static", KW(set_static), "set_static($self, url_path, folder)\n--\n\n"},
    {"set_wsgi_mount", KW(set_wsgi_mount), "set_wsgi_mount($self, prefix, host, base)\n--\n\n"},
    {"set_asgi_mount", KW(set_asgi_mount),
     "set_asgi_mount($self, prefix, host)\n--\n\n"
     "Requests under prefix that no rule answers go to host(method, path, raw_path,\n"
     "query_string, headers, body, client, http_version, done) on the event loop."},
    {"set_request_class", KW(set_request_class), "set_request_class($self, cls)\n--\n\n"},
    {"set_dispatch", KW(set_dispatch), "set_dispatch($self, f)\n--\n\n"},
    {"set_pipeline", KW(set_pipeline), "set_pipeline($self, f)\n--\n\n"},
    {"set_convert_slow", KW(set_convert_slow), "set_convert_slow($self, f)\n--\n\n"},
    {"set_debug_page", KW(set_debug_page), "set_debug_page($self, f)\n--\n\n"},
    {"set_http_exception", KW(set_http_exception), "set_http_exception($self, cls)\n--\n\n"},
    {"set_uuid_class", KW(set_uuid_class), "set_uuid_class($self, cls)\n--\n\n"},
    {"set_loop_pipeline", KW(set_loop_pipeline), "set_loop_pipeline($self, f)\n--\n\n"},
    {"add_ws_rule", KW(add_ws_rule),
     "add_ws_rule($self, rule, view, endpoint)\n--\n\n"
     "A WebSocket rule: its upgrade requests go to the entry set by set_ws_entry."},
    {"set_ws_entry", KW(set_ws_entry), "set_ws_entry($self, f)\n--\n\n"},
    {"set_flags", KW(set_flags),
     "set_flags($self, fast, debug, log, max_body, cc_max_age, trap_http)\n--\n\n"},
    {"set_redirect_prefix", KW(set_redirect_prefix),
     "set_redirect_prefix($self, header, trusted)\n--\n\n"
     "Slash redirects go to the path under the prefix the request's `header` names\n"
     "(the `trusted`-th value from the end of its comma-separated list, when there are\n"
     "that many), as a proxy that serves the app under a prefix asks; 0 turns it off."},
    {"start", KW(wrap<server_start>),
     "start($self, host, port, *, fd=None, idle_timeout=60, head_timeout=60, "
     "limit_concurrency=0, count_requests=False, body_timeout=60, body_min_rate=1024)\n--\n\n"
     "绑定 `host:port` 并开始服务（非阻塞）。返回服务器 id，\n供 `bound_addr` / `stop` 使用。"},
    {"stop", KW(wrap<server_stop>),
     "stop($self, server_id, timeout_secs=5)\n--\n\n"
     "停止一个运行中的服务器；等待至多 `timeout_secs` 让连接排空。\n返回是否在超时前完成。"},
    {"drain", KW(wrap<server_drain>),
     "drain($self, server_id, timeout_secs=30)\n--\n\n"
     "Stops accepting, lets each connection finish its request in progress and\n"
     "close, and waits for all of them; after timeout_secs the rest are cut.\n"
     "True when every connection closed in time."},
    {"served", KW(wrap<server_served>),
     "served($self, server_id)\n--\n\n"
     "Requests answered so far by a server started with count_requests=True\n"
     "(0 otherwise), or None when the id is not running."},
    {"bound_addr", KW(wrap<server_bound_addr>),
     "bound_addr($self, server_id)\n--\n\n"
     "查询运行中服务器的绑定地址（端口 0 时有用）。不存在返回 None。"},
    {"run", KW(wrap<server_run>),
     "run($self, host, port, threads=0, banner=None)\n--\n\n"
     "阻塞服务直到收到 KeyboardInterrupt。返回绑定地址。"},
    {"run_balancer", KW(wrap<server_run_balancer>),
     "run_balancer($self, host, port, workers, *, idle_timeout=60)\n--\n\n"
     "运行阻塞式 TCP 负载均衡器：监听 `host:port`，把连接轮流转发给 `workers`"
     "（各 worker 实际监听地址的 \"ip:port\" 文本列表），用于多进程运行应用。"},
    {"match", KW(wrap<server_match>),
     "match($self, method, path, query_string='')\n--\n\n"
     "What the server would do with a request, decided without running anything:\n"
     "(0, view, endpoint, [(name, value, kind), ...]) for a rule, (308, location),\n"
     "(200, allow) for the automatic OPTIONS answer, (405, allowed), or (404, None);\n"
     "(404, location) when only a WSGI mount or the single-slash redirect is left.\n"
     "Static folders and mounts are not looked at."},
    {"test_request", KW(wrap<server_test_request>),
     "test_request($self, method, path, headers=None, body=None)\n--\n\n"
     "在进程内处理一个请求（不经过套接字），供框架的测试客户端和集成测试使用。"},
    {nullptr, nullptr, 0, nullptr},
};
#undef KW

PyGetSetDef getset[] = {
    {"version", get_version, nullptr, "", nullptr},
    {"cpu_count", get_cpu_count, nullptr, "CPU 逻辑核数。", nullptr},
    {"runtime_workers", get_cpu_count, nullptr, "运行时的 worker 线程数（= CPU 逻辑核数）。",
     nullptr},
    {"running_servers", get_running_servers, nullptr, "当前运行中的服务器数量（本进程）。",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot server_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("HTTP/1.1 server configuration and control.")},
    {0, nullptr},
};

PyType_Spec server_spec = {
    "_kiv.Server", sizeof(ServerObject), 0, Py_TPFLAGS_DEFAULT, server_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_kiv", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

}  // namespace

Borrow::Borrow(ServerObject* self, bool exclusive) : self_(self), exclusive_(exclusive) {
  if (exclusive) {
    ok_ = self->borrow == 0;
    if (ok_)
      self->borrow = -1;
    else
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  } else {
    ok_ = self->borrow >= 0;
    if (ok_)
      ++self->borrow;
    else
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
}

Borrow::~Borrow() {
  if (!ok_) return;
  if (exclusive_)
    self_->borrow = 0;
  else
    --self_->borrow;
}

}  // namespace kiv

PyMODINIT_FUNC PyInit__kiv(void) {
  using namespace kiv;
  // Single-phase initialisation; later calls get the same module object.
  if (the_module) {
    Py_IncRef(the_module);
    return the_module;
  }
  // The loop bridge's functions, then the WebSocket ones.
  static PyMethodDef functions[32] = {};
  PyMethodDef* end = functions;
  for (PyMethodDef* d = loop_functions(); d->ml_name; ++d) *end++ = *d;
  add_ws_functions(end);
  module_def.m_methods = functions;
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  PyObject* version = PyUnicode_FromString(kVersion);
  if (!version || PyModule_AddObject(m, "_version", version) < 0) {
    Py_DecRef(version);
    Py_DecRef(m);
    return nullptr;
  }
  PyObject* type = PyType_FromSpec(&server_spec);
  if (!type || PyModule_AddObject(m, "Server", type) < 0) {
    Py_DecRef(type);
    Py_DecRef(m);
    return nullptr;
  }
  Py_IncRef(m);  // kept for the life of the process
  the_module = m;
  return m;
}
