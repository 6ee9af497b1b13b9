// A response body drawn from a Python iterable (a generator, or any iterable
// of str and bytes) on the blocking pool, one read-ahead piece per pool job.
#pragma once

#include <Python.h>

#include <memory>

#include "http/handler.hpp"

namespace kiv {

// The caller holds the interpreter lock. `iterator` is iter(iterable); the
// iterable's own close(), when it has one, is what ends the body.
std::shared_ptr<BodySource> make_iter_body(PyObject* iterable, PyObject* iterator);

}  // namespace kiv
