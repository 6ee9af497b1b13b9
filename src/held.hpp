// An owned handle to an object of the application side. The engine stores and
// moves it (routes carry their view this way) but never looks inside: the
// release function its owner supplied says how the object is let go, which
// for an interpreter's object may mean later, once its lock is held.
#pragma once

#include <utility>

namespace kiv {

class Held {
 public:
  using Release = void (*)(void*);

  Held() = default;
  // Owns p from now on; release(p) runs once, when the handle lets it go.
  Held(void* p, Release release) noexcept : p_(p), release_(release) {}
  Held(Held&& o) noexcept : p_(std::exchange(o.p_, nullptr)), release_(o.release_) {}
  Held& operator=(Held&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      release_ = o.release_;
    }
    return *this;
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() { reset(); }

  void reset() {
    if (p_) release_(std::exchange(p_, nullptr));
  }
  void* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  void* p_ = nullptr;
  Release release_ = nullptr;
};

}  // namespace kiv
