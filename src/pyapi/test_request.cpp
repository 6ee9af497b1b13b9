// In-process requests: the same handling path as a connection, without a
// socket or the response writer, for test clients.
#include <algorithm>
#include <exception>
#include <stdexcept>

#include <unistd.h>

#include "py/handle.hpp"
#include "http/query.hpp"
#include "pyapi/args.hpp"
#include "pyapi/server.hpp"

namespace kiv {

namespace {

PyObject* result_tuple(const ResponseOut& resp, bool send_body) {
  PyRef headers = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(resp.headers.size())));
  if (!headers) return nullptr;
  for (std::size_t i = 0; i < resp.headers.size(); ++i) {
    const auto& [k, v] = resp.headers[i];
    PyObject* pair = Py_BuildValue("(s#s#)", k.data(), static_cast<Py_ssize_t>(k.size()), v.data(),
                                   static_cast<Py_ssize_t>(v.size()));
    if (!pair) return nullptr;
    PyList_SetItem(headers.get(), static_cast<Py_ssize_t>(i), pair);
  }
  PyRef body = PyRef::steal(PyBytes_FromStringAndSize(
      resp.body.data(), send_body ? static_cast<Py_ssize_t>(resp.body.size()) : 0));
  if (!body) return nullptr;
  return Py_BuildValue("(iOO)", static_cast<int>(resp.status), headers.get(), body.get());
}

}  // namespace

PyObject* server_test_request(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"method", "path", "headers", "body", nullptr};
  PyObject *o_method, *o_path, *o_headers = Py_None, *o_body = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:test_request", const_cast<char**>(names),
                                   &o_method, &o_path, &o_headers, &o_body))
    return nullptr;
  Req req;
  std::string target;
  if (!arg_str(o_method, "method", req.method) || !arg_str(o_path, "path", target) ||
      !arg_header_pairs(o_headers, "headers", req.headers) ||
      !arg_byte_seq(o_body, "body", req.body))
    return nullptr;
  Borrow hold(self, true);
  if (!hold) return nullptr;
  SharedPtr shared = build_shared(*self->config);
  if (!shared) return nullptr;

  if (auto q = target.find('?'); q != std::string::npos) {
    req.query_string = target.substr(q + 1);
    target.resize(q);
  }
  req.path = std::move(target);
  req.query = parse_query(req.query_string);
  req.remote_addr = "127.0.0.1";
  const bool head_only = req.method == "HEAD";

  ResponseOut resp;
  std::exception_ptr failure;
  {
    // The Python side runs on a pool thread, which needs the lock.
    ReleaseGil unlocked;
    try {
      asio::io_context ctx(1);
      asio::co_spawn(
          ctx,
          [&]() -> asio::awaitable<void> {
            auto answer = handle(std::move(req), shared);
            resp = co_await std::move(answer);
            if (resp.file && decide_response_framing(resp, head_only, true).send_body) {
              resp.body.resize(resp.file->length);
              std::size_t got = 0;
              while (got < resp.body.size()) {
                const ssize_t n = ::pread(resp.file->fd, resp.body.data() + got,
                                          resp.body.size() - got,
                                          static_cast<off_t>(resp.file->offset + got));
                if (n <= 0) throw std::runtime_error("the response file could not be read");
                got += static_cast<std::size_t>(n);
              }
            }
            if (resp.stream) {
              // The whole body, as a client would read it; a failed body
              // fails the request.
              const ResponseFraming framing = decide_response_framing(resp, head_only, true);
              const bool counted = framing.kind == ResponseFraming::kLength;
              bool failed = false;
              while (framing.send_body && !(counted && resp.body.size() >= framing.length)) {
                BodySource::Piece piece = co_await resp.stream->pull(1 << 16);
                if (piece.state == BodySource::State::kFailed) {
                  failed = true;
                  break;
                }
                resp.body += piece.bytes;
                if (piece.state == BodySource::State::kEnd) break;
              }
              // As on a connection: exactly the announced length, or a failure.
              if (counted && framing.send_body) {
                failed = failed || resp.body.size() < framing.length;
                resp.body.resize(std::min<std::size_t>(resp.body.size(), framing.length));
              }
              co_await resp.stream->close();
              if (failed) throw std::runtime_error("the response body failed");
            }
          },
          [&](std::exception_ptr e) { failure = e; });
      ctx.run();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      PyErr_Format(PyExc_RuntimeError, "test request failed: %s", e.what());
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "test request failed");
    }
    return nullptr;
  }
  return result_tuple(resp, decide_response_framing(resp, head_only, true).send_body);
}

PyObject* server_match(ServerObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"method", "path", "query_string", nullptr};
  PyObject *o_method, *o_path, *o_query = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:match", const_cast<char**>(names),
                                   &o_method, &o_path, &o_query))
    return nullptr;
  std::string method, path, query;
  if (!arg_str(o_method, "method", method) || !arg_str(o_path, "path", path) ||
      (o_query && !arg_str(o_query, "query_string", query)))
    return nullptr;
  Borrow hold(self, false);
  if (!hold) return nullptr;
  ServerConfig& cfg = *self->config;
  if (!cfg.router) {  // compiled once, as a server's start would
    auto compiled = compile_rules(cfg.rules);
    if (auto* err = std::get_if<std::string>(&compiled)) {
      PyErr_SetString(PyExc_ValueError, err->c_str());
      return nullptr;
    }
    cfg.router = std::get<0>(std::move(compiled));
  }
  std::shared_ptr<const Router> router = cfg.router;
  return match_for_python(*router, method, path, query);
}

}  // namespace kiv
