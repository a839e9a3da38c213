#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace tarvelon::support {

/// A vector of plain values that keeps up to `N` of them inside itself and only a longer list
/// on the heap. For lists that are almost always short, such as the arguments of a call, it
/// spares an allocation per list and keeps the list next to its owner.
template <class T, std::size_t N>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>, "elements are copied as bytes");
  static_assert(N > 0 && N * sizeof(T) <= sizeof(T*) * 2, "the inline room fits two pointers");

 public:
  InlineVector() noexcept = default;
  InlineVector(std::initializer_list<T> items) : InlineVector(items.begin(), items.end()) {}
  /// The values of [first, last).
  template <std::forward_iterator It>
  InlineVector(It first, It last) {
    reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) data()[size_++] = *first;
  }
  InlineVector(const InlineVector& other) : InlineVector(other.begin(), other.end()) {}
  InlineVector(InlineVector&& other) noexcept
      : store_(other.store_), size_(other.size_), capacity_(other.capacity_) {
    other.size_ = 0;
    other.capacity_ = N;
  }
  InlineVector& operator=(InlineVector other) noexcept {
    std::swap(store_, other.store_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~InlineVector() {
    if (on_heap()) delete[] store_.heap;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return on_heap() ? store_.heap : store_.inline_items; }
  const T* data() const noexcept { return on_heap() ? store_.heap : store_.inline_items; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  T& front() noexcept { return data()[0]; }
  const T& front() const noexcept { return data()[0]; }

  /// Throws `std::bad_alloc`, leaving the list as it was, when the list must move to a larger
  /// heap array and cannot.
  void push_back(T value) {
    if (size_ == capacity_) reserve(std::size_t{capacity_} * 2);
    data()[size_++] = value;
  }

  friend bool operator==(const InlineVector& a, const InlineVector& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool on_heap() const noexcept { return capacity_ > N; }
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    T* grown = new T[capacity];
    std::memcpy(grown, data(), size_ * sizeof(T));
    if (on_heap()) delete[] store_.heap;
    store_.heap = grown;
    capacity_ = static_cast<std::uint32_t>(capacity);
  }

  union Store {
    T inline_items[N];
    T* heap;
  } store_{};
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
};

}  // namespace tarvelon::support
