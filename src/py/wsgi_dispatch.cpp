#include "py/wsgi_dispatch.hpp"

#include <Python.h>

#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include "http/handler.hpp"
#include "py/convert.hpp"
#include "py/dispatch.hpp"
#include "py/gil.hpp"
#include "py/loop.hpp"
#include "pyref.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

constexpr std::size_t kMaxKeptKeys = 64;

// Interned once: every request uses the same key objects, so the dict does not
// hash fresh strings for the fixed keys.
struct EnvironKeys {
  PyObject *request_method, *path_info, *query_string, *server_protocol, *remote_addr,
      *remote_port, *server_name, *server_port, *content_type, *content_length;
  EnvironKeys()
      : request_method(PyUnicode_InternFromString("REQUEST_METHOD")),
        path_info(PyUnicode_InternFromString("PATH_INFO")),
        query_string(PyUnicode_InternFromString("QUERY_STRING")),
        server_protocol(PyUnicode_InternFromString("SERVER_PROTOCOL")),
        remote_addr(PyUnicode_InternFromString("REMOTE_ADDR")),
        remote_port(PyUnicode_InternFromString("REMOTE_PORT")),
        server_name(PyUnicode_InternFromString("SERVER_NAME")),
        server_port(PyUnicode_InternFromString("SERVER_PORT")),
        content_type(PyUnicode_InternFromString("CONTENT_TYPE")),
        content_length(PyUnicode_InternFromString("CONTENT_LENGTH")) {}
  bool ok() const {
    return request_method && path_info && query_string && server_protocol && remote_addr &&
           remote_port && server_name && server_port && content_type && content_length;
  }
};

// WSGI strings carry bytes as latin-1, so every byte survives.
PyObject* latin1(std::string_view s) {
  return PyUnicode_DecodeLatin1(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

bool set(PyObject* env, PyObject* key, PyRef value) {
  return value && PyDict_SetItem(env, key, value.get()) == 0;
}

bool set_text(PyObject* env, PyObject* key, std::string_view value) {
  return set(env, key, PyRef::steal(latin1(value)));
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

// SERVER_NAME and SERVER_PORT from the Host header ("name", "name:port",
// "[v6]:port"). The port defaults to 80; a trusted forwarded https is settled
// in Python, which knows the proxy trust.
std::pair<std::string_view, std::string_view> name_and_port(std::string_view host) {
  if (host.empty()) return {"localhost", "80"};
  std::size_t colon = std::string_view::npos;
  if (host.front() == '[') {
    const std::size_t end = host.find(']');
    if (end != std::string_view::npos && end + 1 < host.size() && host[end + 1] == ':')
      colon = end + 1;
  } else {
    colon = host.rfind(':');
  }
  if (colon == std::string_view::npos || colon + 1 == host.size()) return {host, "80"};
  const std::string_view port = host.substr(colon + 1);
  for (char c : port)
    if (c < '0' || c > '9') return {host, "80"};
  return {host.substr(0, colon), port};
}

// The key object for an HTTP_* name. Clients send the same dozen names on
// every request, so the keys seen first are kept interned (their hash is then
// computed once); the number kept is bounded, so invented names cannot grow it.
// Only called with the interpreter lock held.
PyRef header_key(std::string_view key) {
  static std::vector<std::pair<std::string, PyObject*>> kept;
  for (const auto& [text, obj] : kept)
    if (text == key) return PyRef::borrow(obj);
  PyRef k = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.size())));
  if (k && kept.size() < kMaxKeptKeys) {
    PyObject* interned = k.release();
    PyUnicode_InternInPlace(&interned);
    Py_IncRef(interned);  // the table's own reference, never dropped
    kept.emplace_back(key, interned);
    k = PyRef::steal(interned);
  }
  return k;
}

// One HTTP_* entry (or CONTENT_TYPE/CONTENT_LENGTH) per header name; repeats
// are joined with ", " (cookies with "; ", the separator of their own list).
bool add_header(PyObject* env, std::string_view name, std::string_view value, std::string& key,
                const EnvironKeys& keys) {
  // Else X-Forwarded_For would arrive as HTTP_X_FORWARDED_FOR.
  if (name.find('_') != std::string_view::npos) return true;
  key.assign("HTTP_");
  for (char c : name) key += c == '-' ? '_' : (c >= 'a' && c <= 'z') ? char(c - 32) : c;
  std::string_view bare = std::string_view(key).substr(5);
  if (bare == "CONTENT_TYPE") return set_text(env, keys.content_type, value);
  if (bare == "CONTENT_LENGTH") return set_text(env, keys.content_length, value);
  PyRef k = header_key(key);
  if (!k) return false;
  PyRef v = PyRef::steal(latin1(value));
  if (!v) return false;
  PyObject* before = PyDict_GetItemWithError(env, k.get());  // borrowed
  if (!before) {
    if (PyErr_Occurred()) return false;
    return PyDict_SetItem(env, k.get(), v.get()) == 0;
  }
  PyRef sep = PyRef::steal(PyUnicode_FromString(bare == "COOKIE" ? "; " : ", "));
  PyRef head = sep ? PyRef::steal(PyUnicode_Concat(before, sep.get())) : PyRef();
  PyRef joined = head ? PyRef::steal(PyUnicode_Concat(head.get(), v.get())) : PyRef();
  return joined && PyDict_SetItem(env, k.get(), joined.get()) == 0;
}

PyRef build_environ(const Req& req, std::string_view path, const WsgiMount& mount) {
  static const EnvironKeys keys;
  if (!keys.ok()) {
    PyErr_SetString(PyExc_MemoryError, "environ keys");
    return {};
  }
  PyRef env = PyRef::steal(PyDict_Copy(mount.base.get()));
  if (!env) return {};
  PyObject* e = env.get();
  char port[8];
  const auto end = std::to_chars(port, port + sizeof port, req.remote_port).ptr;
  const bool ok =
      set_text(e, keys.request_method, req.method) &&
      set_text(e, keys.path_info, path.substr(mount.prefix.size())) &&
      set_text(e, keys.query_string, req.query_string) &&
      set_text(e, keys.server_protocol, req.minor_version == 0 ? "HTTP/1.0" : "HTTP/1.1") &&
      set_text(e, keys.remote_addr, req.remote_addr) &&
      set_text(e, keys.remote_port, std::string_view(port, std::size_t(end - port)));
  if (!ok) return {};
  std::string key;
  std::string_view host;
  bool has_host = false, has_length = false;
  for (const auto& [name, value] : req.headers) {
    if (!has_host && iequals(name, "host")) {
      host = value;
      has_host = true;
    }
    if (iequals(name, "content-length")) has_length = true;
    if (!add_header(e, name, value, key, keys)) return {};
  }
  // A body read whole (chunked ones too): the application gets its real size.
  // A streamed one keeps the announced length, or none when chunked (the
  // input then ends at the body's end: wsgi.input_terminated).
  if (req.body_stream) {
    if (req.body_stream->length < 0 && has_length && PyDict_DelItem(e, keys.content_length) < 0)
      return {};
  } else if (!req.body.empty() || has_length) {
    char len[24];
    const auto len_end = std::to_chars(len, len + sizeof len, req.body.size()).ptr;
    if (!set_text(e, keys.content_length, std::string_view(len, std::size_t(len_end - len))))
      return {};
  }
  // CONTENT_LENGTH may be absent; CONTENT_TYPE is "" rather than absent, as
  // applications commonly index it.
  const int has_type = PyDict_Contains(e, keys.content_type);
  if (has_type < 0 || (!has_type && !set_text(e, keys.content_type, ""))) return {};
  const auto [name, sport] = name_and_port(host);
  if (!set_text(e, keys.server_name, name) || !set_text(e, keys.server_port, sport)) return {};
  return env;
}

ResponseOut run_wsgi_job(const Req& req, std::string_view path, const WsgiMount& mount,
                         const Shared& sh) {
  PoolGil gil;
  PyRef env = build_environ(req, path, mount);
  if (!env) return failure_response(sh);
  PyRef body = request_body(req);
  if (!body) return failure_response(sh);
  PyRef result = PyRef::steal(
      PyObject_CallFunctionObjArgs(mount.host.get(), env.get(), body.get(), nullptr));
  if (!result) return failure_response(sh);
  auto resp = response_from_triple(result.get());
  if (!resp) return failure_response(sh);
  return std::move(*resp);
}

}  // namespace

const WsgiMount* wsgi_mount_for(const Shared& shared, std::string_view path) {
  for (const WsgiMount& m : shared.wsgi_mounts) {
    const std::string& p = m.prefix;
    if (p.empty() || (path.starts_with(p) && (path.size() == p.size() || path[p.size()] == '/')))
      return &m;
  }
  return nullptr;
}

asio::awaitable<ResponseOut> dispatch_wsgi(Req req, std::string path, const WsgiMount* mount,
                                           SharedPtr shared) {
  if (mount->asgi) {
    auto answer = dispatch_asgi(std::move(req), std::move(path), mount, std::move(shared));
    co_return co_await std::move(answer);
  }
  try {
    // Named locals, not temporaries, around co_await (see handle.cpp). The
    // mount lives in `shared`, which the job keeps alive.
    auto run = [req = std::move(req), path = std::move(path), mount, shared = std::move(shared)]() {
      return run_wsgi_job(req, path, *mount, *shared);
    };
    auto pending = run_blocking(std::move(run));
    co_return co_await std::move(pending);
  } catch (...) {
    // The blocking task failed outside Python (memory exhaustion).
    co_return simple(500);
  }
}

}  // namespace kiv
