#pragma once

// Owning holders of file descriptors.

#include <functional>
#include <optional>
#include <unistd.h>
#include <utility>

namespace tw {

// Owns a descriptor and closes it; -1 is empty.
template <class T = int>
class unique_hld {
 public:
  unique_hld() noexcept = default;
  explicit unique_hld(T handle) noexcept : handle_(handle) {}
  unique_hld(unique_hld&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
  unique_hld& operator=(unique_hld&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  ~unique_hld() { reset(); }

  T get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ >= 0; }
  T release() noexcept { return std::exchange(handle_, -1); }
  void reset(T handle = -1) noexcept {
    if (handle_ >= 0) ::close(handle_);
    handle_ = handle;
  }

 private:
  T handle_ = -1;
};

// A descriptor with the callback that releases it; empty when none.
template <class T, class Release = std::function<void(T&&)>>
class optional_hld {
 public:
  optional_hld() = default;
  optional_hld(T handle, Release release) : handle_(std::move(handle)), release_(std::move(release)) {}
  optional_hld(optional_hld&& other) noexcept
      : handle_(std::exchange(other.handle_, std::nullopt)), release_(std::move(other.release_)) {}
  optional_hld& operator=(optional_hld&&) = delete;
  ~optional_hld() {
    if (handle_ && release_) {
      try {
        release_(std::move(*handle_));
      } catch (...) {
        // Releasing happens on teardown paths that must finish.
      }
    }
  }

  // Throws std::bad_optional_access when empty.
  const T& value() const { return handle_.value(); }
  bool has_value() const noexcept { return handle_.has_value(); }

 private:
  std::optional<T> handle_;
  Release release_;
};

}  // namespace tw
