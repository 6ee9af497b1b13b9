// A connection's receive buffer. Reads land directly in its spare capacity
// (no zero-filling); consumed bytes are dropped by moving the tail forward.
#pragma once

#include <asio/buffer.hpp>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace kiv {

class ByteBuffer {
 public:
  // Grow when less than this is free, so reads never get tiny.
  static constexpr std::size_t kMinSpare = 2048;

  explicit ByteBuffer(std::size_t capacity)
      : data_(std::make_unique_for_overwrite<char[]>(capacity)), cap_(capacity), home_(capacity) {}
  // Takes its memory only at the first spare().
  struct Deferred {};
  ByteBuffer(std::size_t capacity, Deferred) : cap_(0), home_(capacity) {}

  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return cap_; }
  std::string_view view() const { return {data_.get(), size_}; }

  // Room for the next read, at most max_read bytes.
  asio::mutable_buffer spare(std::size_t max_read) {
    if (!data_) reacquire();
    if (cap_ - size_ < kMinSpare) grow(std::max(cap_ * 2, size_ + max_read));
    return {data_.get() + size_, std::min(cap_ - size_, max_read)};
  }
  void commit(std::size_t n) { size_ += n; }

  void consume(std::size_t n) {
    if (n >= size_) {
      size_ = 0;
      return;
    }
    std::memmove(data_.get(), data_.get() + n, size_ - n);
    size_ -= n;
  }
  void clear() { size_ = 0; }

  // Gives the memory back while nothing is buffered (a connection waiting for
  // a slow answer should not hold its receive buffer); the next spare() takes
  // one again. Buffers of the usual size go to a small per-thread store, so
  // the round trip costs no allocation when requests are answered quickly.
  void release() {
    if (!data_ || size_ != 0) return;
    Store& store = store_();
    if (cap_ == home_ && store.count < Store::kMax && home_ == store.size_of(home_)) {
      store.items[store.count++] = data_.release();
    } else {
      data_.reset();
    }
    cap_ = 0;
  }

  // Gives back what one large head made the buffer grow to, once what is
  // left fits in `capacity`: a long-lived connection should not keep it.
  void shrink_to(std::size_t capacity) {
    if (cap_ > capacity && size_ <= capacity) resize(capacity);
  }

 private:
  void grow(std::size_t cap) { resize(cap); }
  void resize(std::size_t cap) {
    auto other = std::make_unique_for_overwrite<char[]>(cap);
    std::memcpy(other.get(), data_.get(), size_);
    data_ = std::move(other);
    cap_ = cap;
  }

  void reacquire() {
    Store& store = store_();
    if (store.count > 0 && store.size_of(home_) == home_) {
      data_.reset(store.items[--store.count]);
    } else {
      data_ = std::make_unique_for_overwrite<char[]>(home_);
    }
    cap_ = home_;
  }

  // Released buffers of one size (the first one released on the thread) kept
  // for reuse; freed with the thread.
  struct Store {
    static constexpr std::size_t kMax = 64;
    char* items[kMax];
    std::size_t count = 0;
    std::size_t size = 0;
    std::size_t size_of(std::size_t want) {
      if (size == 0) size = want;
      return size;
    }
    ~Store() {
      for (std::size_t i = 0; i < count; ++i) delete[] items[i];
    }
  };
  static Store& store_() {
    thread_local Store store;
    return store;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t cap_;
  std::size_t home_;  // the capacity it starts with and comes back to
};

}  // namespace kiv
