#pragma once

#include <utility>

namespace rk {

// Base of every shared library object (file systems, factories, streams).
// An object starts with no references; each TRefPointer that holds it counts
// one, and the last one to let go deletes it through the virtual destructor.
class CRefCount {
 public:
  CRefCount() = default;
  CRefCount(const CRefCount&) = delete;
  CRefCount& operator=(const CRefCount&) = delete;
  virtual ~CRefCount() = default;

  void AddRef() { ++refs_; }
  // Gives one reference back; deletes the object when it was the last one.
  // Returns the references left (0 when the object is gone).
  int Release() {
    const int left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  int refs_ = 0;
};

// Intrusive handle: holds one reference to a CRefCount object, or none (null).
template <class T>
class TRefPointer {
 public:
  TRefPointer() = default;
  TRefPointer(T* object) : object_(object) {  // NOLINT: handles convert like pointers
    if (object_) object_->AddRef();
  }
  TRefPointer(const TRefPointer& other) : TRefPointer(other.object_) {}
  template <class U>
  TRefPointer(const TRefPointer<U>& other) : TRefPointer(other.get()) {}  // NOLINT
  TRefPointer(TRefPointer&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ~TRefPointer() { reset(); }

  TRefPointer& operator=(TRefPointer other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  // Gives the reference back now; the handle is null afterwards.
  void reset() {
    if (object_) std::exchange(object_, nullptr)->Release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// The one process-wide instance of T, when there is one. T's own constructor
// and destructor set and clear it; the pointer does not own the instance.
template <class T>
class TSingleton {
 public:
  static inline T* _instance = nullptr;
};

}  // namespace rk
