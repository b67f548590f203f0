// Owns one OS handle and releases it with its own release function.
#pragma once

#include <utility>

#include "platform/types.h"

template <class T, auto ReleaseFunction>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T handle) : handle_(handle) {}
  ~UniqueHandle() { Close(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, T())) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, T());
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  T Get() const { return handle_; }
  // Null and INVALID_HANDLE_VALUE both mean "no handle".
  bool Valid() const { return handle_ != T() && handle_ != reinterpret_cast<T>(INVALID_HANDLE_VALUE); }
  explicit operator bool() const { return Valid(); }
  // For out-parameters: releases what it holds and hands out its slot.
  T* Put() {
    Close();
    return &handle_;
  }
  // Stops owning the handle without releasing it.
  T Detach() { return std::exchange(handle_, T()); }
  // Releases the handle now and gives the release function's result.
  auto Close() {
    using Result = decltype(ReleaseFunction(T()));
    Result result{};
    if (Valid()) result = ReleaseFunction(handle_);
    handle_ = T();
    return result;
  }

 private:
  T handle_ = T();
};
