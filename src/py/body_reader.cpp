#include "py/body_reader.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "pyref.hpp"

namespace kiv {

namespace {

// Bytes one read may ask for at most, so a careless read(huge) cannot make
// the server allocate beyond what the body limit already allows per call.
constexpr Py_ssize_t kMaxStep = Py_ssize_t{1} << 30;

struct ReaderObject {
  PyObject_HEAD
  std::shared_ptr<RequestBody>* body;
};

ReaderObject* as_reader(PyObject* o) { return reinterpret_cast<ReaderObject*>(o); }

// One pull, waited for on this thread without the interpreter lock.
RequestBody::Result pull_blocking(RequestBody& body, char* into, std::size_t size) {
  struct Wait {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    RequestBody::Result result;
  };
  auto wait = std::make_shared<Wait>();
  ReleaseGil unlocked;
  body.pull(asio::buffer(into, size), [wait](RequestBody::Result r) {
    std::lock_guard lock(wait->mu);
    wait->result = r;
    wait->done = true;
    wait->cv.notify_one();
  });
  std::unique_lock lock(wait->mu);
  wait->cv.wait(lock, [&] { return wait->done; });
  return wait->result;
}

// A failure as the Python side sees it: minus the status the connection
// answered with, or -1 when the client is gone or the request is over.
PyObject* failure(const RequestBody::Result& r) {
  return PyLong_FromLong(r.status ? -static_cast<long>(r.status) : -1L);
}

bool size_arg(PyObject* arg, Py_ssize_t& n) {
  n = PyLong_AsSsize_t(arg);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "size must not be negative");
    return false;
  }
  if (n > kMaxStep) n = kMaxStep;
  return true;
}

// read(n) and read1(n): bytes, or an int below zero when the body failed.
// read waits for n bytes (fewer only at the end of the body); read1 returns
// what one pull brought.
PyObject* read_impl(PyObject* self, PyObject* arg, bool whole) {
  GilMark mark;
  Py_ssize_t n;
  if (!size_arg(arg, n)) return nullptr;
  PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, n));
  if (!out) return nullptr;
  // A fresh bytes object may be filled in place until it is shared.
  char* data = PyBytes_AsString(out.get());
  if (!data) return nullptr;
  RequestBody& body = **as_reader(self)->body;
  std::size_t got = 0;
  while (got < static_cast<std::size_t>(n)) {
    const RequestBody::Result r = pull_blocking(body, data + got, static_cast<std::size_t>(n) - got);
    if (r.failed) return failure(r);
    got += r.n;
    if (r.end || !whole) break;
  }
  if (got == static_cast<std::size_t>(n)) return out.release();
  return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(got));
}

PyObject* reader_read(PyObject* self, PyObject* arg) { return read_impl(self, arg, true); }
PyObject* reader_read1(PyObject* self, PyObject* arg) { return read_impl(self, arg, false); }

// readinto(bytearray): bytes stored (0 at the end), or an int below zero.
// The array may change while the lock is released, so the bytes land in
// memory of our own first.
PyObject* reader_readinto(PyObject* self, PyObject* arg) {
  GilMark mark;
  if (!PyByteArray_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "readinto takes a bytearray");
    return nullptr;
  }
  const Py_ssize_t size = std::min(PyByteArray_Size(arg), kMaxStep);
  if (size == 0) return PyLong_FromLong(0);
  std::string tmp(static_cast<std::size_t>(size), '\0');
  const RequestBody::Result r = pull_blocking(**as_reader(self)->body, tmp.data(), tmp.size());
  if (r.failed) return failure(r);
  const std::size_t n = std::min(r.n, static_cast<std::size_t>(PyByteArray_Size(arg)));
  std::memcpy(PyByteArray_AsString(arg), tmp.data(), n);
  return PyLong_FromSize_t(n);
}

PyObject* reader_length(PyObject* self, void*) {
  const std::int64_t length = (*as_reader(self)->body)->length;
  if (length < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(length);
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_reader(self)->body;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyMethodDef reader_methods[] = {
    {"read", reader_read, METH_O, "read(n): up to n bytes, fewer only at the end."},
    {"read1", reader_read1, METH_O, "read1(n): the next piece, at most n bytes."},
    {"readinto", reader_readinto, METH_O, "readinto(bytearray): bytes stored."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"length", reader_length, nullptr, "The announced length, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("The rest of a request body, read as it arrives.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "_kiv.BodyReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

}  // namespace

PyObject* make_body_reader(std::shared_ptr<RequestBody> body) {
  // Made on first use and kept: only threads holding the lock get here.
  static PyObject* type = PyType_FromSpec(&reader_spec);
  if (!type) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type),
                                                          Py_tp_alloc));
  PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (!self) return nullptr;
  as_reader(self)->body = new (std::nothrow) std::shared_ptr<RequestBody>(std::move(body));
  if (!as_reader(self)->body) {
    Py_DecRef(self);
    return PyErr_NoMemory();
  }
  return self;
}

}  // namespace kiv
