#include "py/dispatch.hpp"

#include <Python.h>

#include <charconv>

#include "py/body_reader.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/loop.hpp"
#include "percent.hpp"
#include "pyref.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

PyObject* str_of(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// A list of (str, str) tuples; null with an exception on failure.
PyRef pair_list(const HeaderList& pairs) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (const auto& [k, v] : pairs) {
    PyObject* tuple = PyTuple_New(2);
    if (!tuple) return {};
    PyObject* ks = str_of(k);
    PyObject* vs = ks ? str_of(v) : nullptr;
    if (!vs) {
      if (ks) Py_DecRef(ks);
      Py_DecRef(tuple);
      return {};
    }
    PyTuple_SetItem(tuple, 0, ks);
    PyTuple_SetItem(tuple, 1, vs);
    PyList_SetItem(list.get(), i++, tuple);
  }
  return list;
}

// Signed 64-bit decimal: one optional sign, then digits only.
std::optional<long long> parse_i64(std::string_view s) {
  if (!s.empty() && s[0] == '+')
    s.remove_prefix(1);
  else if (s.size() > 1 && s[0] == '-' && s[1] == '+')
    return std::nullopt;
  if (s.empty()) return std::nullopt;
  long long v;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> parse_f64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double v;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

// The value of one route argument by its kind; null with an exception set.
PyRef arg_value(const RouteArg& a, const Shared& sh) {
  switch (a.kind) {
    case kKindInt:
      if (auto v = parse_i64(a.value)) return PyRef::steal(PyLong_FromLongLong(*v));
      // Digits only (the router's int test), too many for 64 bits.
      return PyRef::steal(PyLong_FromString(a.value.c_str(), nullptr, 10));
    case kKindFloat:
      if (auto v = parse_f64(a.value)) return PyRef::steal(PyFloat_FromDouble(*v));
      break;
    case kKindUuid: {
      PyRef text = PyRef::steal(str_of(a.value));
      if (!text) return {};
      return PyRef::steal(PyObject_CallFunctionObjArgs(sh.uuid_class.get(), text.get(), nullptr));
    }
    default:
      break;
  }
  return PyRef::steal(str_of(a.value));
}

PyRef build_arg_dict(const DispatchJob& job) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  for (const RouteArg& a : job.args) {
    PyRef value = arg_value(a, *job.shared);
    if (!value) return {};
    PyRef key = PyRef::steal(str_of(a.name));
    if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

PyObject* str_or_none(const std::string& s) {
  if (s.empty()) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return str_of(s);
}

PyObject* list_or_none(const std::vector<std::string>& items) {
  if (items.empty()) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* s = str_of(items[i]);
    if (!s) {
      Py_DecRef(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

}  // namespace

// The body argument: bytes when the body was read whole, else a reader that
// pulls it from the connection as the view asks.
PyRef request_body(const Req& req) {
  if (req.body_stream) return PyRef::steal(make_body_reader(req.body_stream));
  return PyRef::steal(
      PyBytes_FromStringAndSize(req.body.data(), static_cast<Py_ssize_t>(req.body.size())));
}

// Turns the pending exception into a response: the framework's HTTP exceptions
// answer with their own response, anything else is a failure_response.
ResponseOut error_response(const Shared& sh) {
  if (!sh.trap_http && PyErr_ExceptionMatches(sh.http_exception.get())) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
    PyRef r = v ? PyRef::steal(PyObject_CallMethod(v.get(), "get_response", nullptr)) : PyRef();
    if (r) {
      if (auto resp = parse_fast_tuple(r.get())) return std::move(*resp);
    }
    PyErr_Clear();
    return simple(500);
  }
  return failure_response(sh);
}

ResponseOut failure_response(const Shared& sh) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  if (sh.debug) {
    PyRef page = PyRef::steal(
        PyObject_CallFunctionObjArgs(sh.debug_page.get(), v ? v.get() : Py_None, nullptr));
    if (page) {
      if (auto resp = parse_fast_tuple(page.get())) return std::move(*resp);
    }
    PyErr_Clear();
  }
  PyErr_Restore(t.release(), v.release(), trace.release());
  PyErr_PrintEx(0);
  return simple(500);
}

PyRef make_request(const DispatchJob& job, PyRef& arg_dict_out) {
  const Shared& sh = *job.shared;
  const Req& req = job.req;
  PyRef query = pair_list(req.query);
  PyRef headers = query ? pair_list(req.headers) : PyRef();
  PyRef body = headers ? request_body(req) : PyRef();
  PyRef arg_dict = body ? build_arg_dict(job) : PyRef();
  if (!arg_dict) return {};

  // Every slot owns its reference; the tuple takes them over one by one.
  PyRef items[11] = {
      PyRef::steal(str_of(req.method)),
      PyRef::steal(str_of(percent_decode(req.path))),
      PyRef::steal(str_of(req.query_string)),
      query,
      headers,
      body,
      PyRef::steal(str_of(req.remote_addr)),
      PyRef::steal(str_or_none(job.endpoint)),
      arg_dict,
      PyRef::steal(str_or_none(job.error_code)),
      PyRef::steal(list_or_none(job.allowed_methods)),
  };
  PyRef call_args = PyRef::steal(PyTuple_New(11));
  if (!call_args) return {};
  for (int i = 0; i < 11; ++i) {
    if (!items[i]) return {};
    PyTuple_SetItem(call_args.get(), i, items[i].release());
  }
  arg_dict_out = arg_dict;
  return PyRef::steal(PyObject_Call(sh.request_class.get(), call_args.get(), nullptr));
}

PyObject* route_view(const DispatchJob& job) {
  const auto& routes = job.shared->router->routes();
  if (job.route && *job.route < routes.size()) return HeldRef::object(routes[*job.route].view);
  return nullptr;
}

ResponseOut run_python_job(const DispatchJob& job) {
  PoolGil gil;
  const Shared& sh = *job.shared;
  PyRef view = PyRef::borrow(route_view(job));
  PyRef arg_dict;
  PyRef request = make_request(job, arg_dict);
  if (!request) return error_response(sh);

  PyRef result;
  if (sh.fast && view) {
    result = PyRef::steal(PyObject_CallFunctionObjArgs(sh.pipeline.get(), request.get(), view.get(),
                                                       arg_dict.get(), nullptr));
  } else {
    result = PyRef::steal(PyObject_CallFunctionObjArgs(sh.dispatch.get(), request.get(), nullptr));
  }
  if (!result) return error_response(sh);

  auto resp = convert(result.get(), sh.convert_slow.get());
  if (!resp) return error_response(sh);
  return std::move(*resp);
}

namespace {

asio::awaitable<ResponseOut> dispatch_on_pool(DispatchJob job) {
  try {
    // Named locals, not temporaries, around co_await (see handle.cpp).
    auto run = [job = std::move(job)]() { return run_python_job(job); };
    auto pending = run_blocking(std::move(run));
    co_return co_await std::move(pending);
  } catch (...) {
    // The blocking task failed outside Python (memory exhaustion).
    co_return simple(500);
  }
}

}  // namespace

// Not a coroutine: a request on the loop holds no frame of this function.
asio::awaitable<ResponseOut> dispatch_python(DispatchJob job) {
  if (runs_on_loop(job)) return dispatch_on_loop(std::move(job));
  return dispatch_on_pool(std::move(job));
}

}  // namespace kiv
