// Native state of the Python `Server` object and the operations on it that
// the binding exposes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "pyapi/shared.hpp"
#include "pyref.hpp"
#include "router.hpp"

namespace kiv {

struct RuleSpec {
  std::string rule;
  std::vector<std::string> methods;
  HeldRef view;
  std::string endpoint;
  bool auto_options;
  bool strict_slashes = true;
};

struct ServerConfig {
  std::vector<RuleSpec> rules;
  std::vector<std::pair<std::string, std::string>> statics;  // (url_path, folder bytes)
  std::vector<WsgiMount> wsgi_mounts;                         // longest prefix first
  std::shared_ptr<const Router> router;                      // cache, cleared by add_rule
  HeldRef dispatch, pipeline, request_class, convert_slow, debug_page, http_exception, uuid_class;
  HeldRef loop_pipeline;  // optional (see Shared)
  std::vector<RuleSpec> ws_rules;
  HeldRef ws_entry;  // optional (see Shared)
  // Slash redirects put the path under this header's value (the trusted-th from
  // the end of its comma-separated list), as a proxy that strips a prefix asks.
  std::string prefix_header;
  std::uint64_t prefix_trusted = 0;
  std::uint64_t max_body = 67108864;
  std::int64_t cc_max_age = 43200;
  bool fast = true, debug = false, log = false, trap_http = false;
};

struct ServerObject {
  PyObject_HEAD
  ServerConfig* config;
  // Borrow flag: 0 idle, >0 shared holds, -1 exclusive. Touched only with the
  // interpreter lock held, so it needs no atomics.
  int borrow;
};

// Borrow discipline of a Server object: configuration methods, start, run and
// test_request take it exclusively, the others shared; a call that cannot take
// its hold fails at once.
class Borrow {
 public:
  Borrow(ServerObject* self, bool exclusive);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  explicit operator bool() const { return ok_; }

 private:
  ServerObject* self_;
  bool exclusive_;
  bool ok_;
};

// Methods implemented outside the module file (network, lifecycle, tests).
PyObject* server_test_request(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_match(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_start(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_stop(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_drain(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_served(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_bound_addr(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_run(ServerObject* self, PyObject* args, PyObject* kwargs);
PyObject* server_run_balancer(ServerObject* self, PyObject* args, PyObject* kwargs);
std::size_t running_server_count();

// Compiles (or reuses) the router, checks the seven references, resolves the
// static folders. Returns null with a Python exception set on failure.
SharedPtr build_shared(ServerConfig& cfg);

// Fresh router with every rule; error text on failure.
std::variant<std::shared_ptr<const Router>, std::string> compile_rules(
    const std::vector<RuleSpec>& rules);

}  // namespace kiv
