// A streamed request body as a Python object: the view's thread blocks
// (without the interpreter lock) while the connection reads the next piece
// for it. kiv.bodystream wraps it into the file-like object views and WSGI
// applications read.
#pragma once

#include <Python.h>

#include <memory>

#include "http/handler.hpp"

namespace kiv {

// A new reader over `body`; null with a Python error set. Needs the lock.
PyObject* make_body_reader(std::shared_ptr<RequestBody> body);

}  // namespace kiv
