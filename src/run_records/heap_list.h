#pragma once

#include <cstddef>
#include <cstdlib>
#include <type_traits>

// A list of plain values on the heap, growing as they come, freed with it. The C++ library's
// containers would bring its exceptions, and most of its runtime with them, into an executable
// built without them; this one says when memory runs out instead.
template <typename T>
class HeapList {
  static_assert(std::is_trivially_copyable_v<T>, "moved by realloc");

 public:
  HeapList() = default;
  ~HeapList() { std::free(items_); }
  HeapList(const HeapList&) = delete;
  HeapList& operator=(const HeapList&) = delete;

  // Adds `item` at the end; false, with nothing added, when no memory can be had.
  bool Add(const T& item) {
    if (size_ == capacity_) {
      const std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
      if (capacity > static_cast<std::size_t>(-1) / sizeof(T)) return false;
      void* grown = std::realloc(items_, capacity * sizeof(T));
      if (grown == nullptr) return false;
      items_ = static_cast<T*>(grown);
      capacity_ = capacity;
    }
    items_[size_++] = item;
    return true;
  }

  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T* begin() { return items_; }
  T* end() { return items_ + size_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + size_; }

 private:
  T* items_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};
