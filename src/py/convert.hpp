// Turns what a view returns into a ResponseOut: text, bytes, JSON for dicts
// and lists, (body, status[, headers]) tuples, and response objects exposing
// `_fast()`. Anything else goes through the framework's `convert_slow`.
// Bytes go out as application/octet-stream unless convert_slow has a
// `bytes_content_type` attribute naming another type.
//
// All functions run with the interpreter lock held. On failure they return
// nullopt with the Python error indicator set; no partial response is kept.
#pragma once

#include <Python.h>

#include <optional>

#include "http/request.hpp"
#include "http/response.hpp"

namespace kiv {

// How many times a header container's to_list() result may itself be a
// container with to_list() before the chain is refused.
inline constexpr unsigned kMaxToListDepth = 8;

// A view's return value.
std::optional<ResponseOut> convert(PyObject* value, PyObject* convert_slow);

// The first element of a returned tuple.
std::optional<ResponseOut> convert_part(PyObject* value, PyObject* convert_slow);

// Calls obj._fast() and builds the response from its (status, headers, body).
std::optional<ResponseOut> parse_fast_tuple(PyObject* obj);

// The response of a (status, headers, body) tuple, as _fast() returns one.
std::optional<ResponseOut> response_from_triple(PyObject* triple);

// A dict, a list/tuple of (name, value) tuples, or an object with to_list().
// Names and values containing CR, LF or NUL are refused with ValueError, so
// that nothing from Python can split a response.
std::optional<HeaderList> headers_from_py(PyObject* container);

}  // namespace kiv
