// The one place where a request enters Python: a job on the blocking pool that
// builds the framework's request object, runs the view and converts the result.
#pragma once

#include <asio.hpp>

#include <optional>
#include <string>
#include <vector>

#include "http/request.hpp"
#include "http/response.hpp"
#include "pyapi/shared.hpp"
#include "pyref.hpp"
#include "router.hpp"

namespace kiv {

struct DispatchJob {
  std::optional<std::size_t> route;  // absent for the 404 and 405 calls
  Req req;
  std::vector<RouteArg> args;
  std::string endpoint;
  std::string error_code;  // "", "404" or "405"
  std::vector<std::string> allowed_methods;
  SharedPtr shared;
};

// Never fails: every Python failure ends in a response.
asio::awaitable<ResponseOut> dispatch_python(DispatchJob job);

// The request body as Python gets it: bytes, or a reader of the streamed
// body (py/body_reader.hpp). Needs the lock; null with an exception set.
PyRef request_body(const Req& req);

// The blocking part: takes the interpreter lock on the calling thread.
ResponseOut run_python_job(const DispatchJob& job);

// The framework's request object for the job (its route-argument dict in
// arg_dict); null with the exception set. Needs the interpreter lock.
PyRef make_request(const DispatchJob& job, PyRef& arg_dict);

// The matched route's view (borrowed from the router), or null for 404/405.
PyObject* route_view(const DispatchJob& job);

// Answers the pending exception: the framework's HTTP exceptions with their own
// response, anything else as failure_response. Needs the interpreter lock.
ResponseOut error_response(const Shared& sh);

// Answers the pending Python exception: the debug page when debugging is on and the
// page renders, else the traceback printed and a 500. Needs the interpreter lock.
ResponseOut failure_response(const Shared& sh);

}  // namespace kiv
