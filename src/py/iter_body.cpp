#include "py/iter_body.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "py/gil.hpp"
#include "pyref.hpp"
#include "runtime.hpp"

namespace kiv {

namespace {

// A float among the items is a pause: the connection sends what it has and
// asks again after that many seconds, holding no pool thread meanwhile (the
// server-sent-events helper's keep-alive rhythm). Capped so a bad value
// cannot park a connection for good.
constexpr double kMaxPauseSecs = 3600;

// Appends one item's bytes; false with a Python error set.
bool append_item(PyObject* item, std::string& out) {
  if (PyBytes_Check(item)) {
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(item, &data, &len) < 0) return false;
    out.append(data, static_cast<std::size_t>(len));
    return true;
  }
  if (PyUnicode_Check(item)) {
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &len);
    if (!data) return false;
    out.append(data, static_cast<std::size_t>(len));
    return true;
  }
  if (PyByteArray_Check(item) || PyMemoryView_Check(item)) {
    PyRef bytes = PyRef::steal(PyBytes_FromObject(item));
    return bytes && append_item(bytes.get(), out);
  }
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__name__"));
  if (name)
    PyErr_Format(PyExc_TypeError, "response body items must be str or bytes, not %S", name.get());
  return false;
}

class IterBody final : public BodySource, public std::enable_shared_from_this<IterBody> {
 public:
  IterBody(PyObject* iterable, PyObject* iterator)
      : iterable_(HeldRef::borrow(iterable)), iterator_(HeldRef::borrow(iterator)) {}

  asio::awaitable<Piece> pull(std::size_t want) override {
    auto job = [self = shared_from_this(), want]() { return self->next_piece(want); };
    auto pending = run_blocking(std::move(job));
    co_return co_await std::move(pending);
  }

  asio::awaitable<void> close() override {
    if (closed_) co_return;
    closed_ = true;
    auto job = [self = shared_from_this()]() {
      self->close_now();
      return true;
    };
    auto pending = run_blocking(std::move(job));
    co_await std::move(pending);
  }

 private:
  Piece next_piece(std::size_t want) {
    Piece piece;
    if (failed_) {
      piece.state = State::kFailed;
      return piece;
    }
    PoolGil gil;
    while (piece.bytes.size() < want) {
      PyRef item = PyRef::steal(PyIter_Next(iterator_.get()));
      if (!item) {
        if (PyErr_Occurred()) break;
        piece.state = State::kEnd;
        return piece;
      }
      if (PyFloat_Check(item.get())) {
        const double secs = PyFloat_AsDouble(item.get());
        if (secs > 0 && std::isfinite(secs))
          piece.pause_ms = static_cast<std::uint32_t>(std::min(secs, kMaxPauseSecs) * 1000);
        return piece;
      }
      if (!append_item(item.get(), piece.bytes)) break;
    }
    if (!PyErr_Occurred()) return piece;
    // The client must not take the cut body for a whole one, and the
    // developer must see why it was cut.
    PyErr_PrintEx(0);
    // What came before the failure still goes out; the cut follows it.
    failed_ = true;
    if (piece.bytes.empty()) piece.state = State::kFailed;
    return piece;
  }

  void close_now() {
    PoolGil gil;
    PyRef close = PyRef::steal(PyObject_GetAttrString(iterable_.get(), "close"));
    if (!close) {
      PyErr_Clear();
    } else if (PyRef done = PyRef::steal(PyObject_CallNoArgs(close.get())); !done) {
      PyErr_PrintEx(0);
    }
    // Released here, with the lock, rather than queued for later.
    iterator_.reset();
    iterable_.reset();
  }

  HeldRef iterable_, iterator_;
  bool closed_ = false;  // only the connection's coroutine touches it
  bool failed_ = false;  // set by one pool job, read by the next
};

}  // namespace

std::shared_ptr<BodySource> make_iter_body(PyObject* iterable, PyObject* iterator) {
  return std::make_shared<IterBody>(iterable, iterator);
}

}  // namespace kiv
