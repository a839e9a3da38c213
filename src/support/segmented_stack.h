#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tarvelon::support {

/// A stack kept in segments of `N` elements, the first of them inside the object itself. An
/// element never moves once pushed, growing never copies the elements already there (so a deep
/// input costs no transient second copy), and a stack that stays within `N` elements allocates
/// nothing at all.
template <class T, std::size_t N>
class SegmentedStack {
  static_assert(N > 0 && (N & (N - 1)) == 0, "segment length is a power of two");

 public:
  SegmentedStack() = default;
  SegmentedStack(const SegmentedStack&) = delete;
  SegmentedStack& operator=(const SegmentedStack&) = delete;
  ~SegmentedStack() {
    truncate(0);
    for (T* segment : extra_) ::operator delete (segment, std::align_val_t{alignof(T)});
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  T& operator[](std::size_t i) noexcept { return segment(i / N)[i % N]; }
  const T& operator[](std::size_t i) const noexcept {
    return const_cast<SegmentedStack&>(*this)[i];
  }
  T& back() noexcept { return (*this)[size_ - 1]; }

  /// Throws `std::bad_alloc`, leaving the stack as it was, when a new segment cannot be had.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == N * (1 + extra_.size())) add_segment();
    T* at = &(*this)[size_];
    std::construct_at(at, std::forward<Args>(args)...);
    ++size_;
    return *at;
  }
  void push_back(T value) { emplace_back(std::move(value)); }
  /// A segment left empty is released once a second one is, so memory follows the depth down
  /// (a deep input's stack is given back while the rest of its work goes on) without a push
  /// and a pop at a boundary taking and releasing one each time.
  void pop_back() noexcept {
    std::destroy_at(&(*this)[--size_]);
    if (!extra_.empty() && N * (1 + extra_.size()) - size_ >= 2 * N) {
      ::operator delete (extra_.back(), std::align_val_t{alignof(T)});
      extra_.pop_back();
    }
  }
  /// Drops the elements from index `n` on.
  void truncate(std::size_t n) noexcept {
    while (size_ > n) pop_back();
  }

  /// Walks the elements by index; enough for a range's begin and end.
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = T*;
    using reference = T&;

    Iterator() = default;
    Iterator(SegmentedStack* stack, std::size_t i) : stack_(stack), i_(i) {}
    T& operator*() const noexcept { return (*stack_)[i_]; }
    Iterator& operator++() noexcept {
      ++i_;
      return *this;
    }
    Iterator operator++(int) noexcept { return {stack_, i_++}; }
    Iterator operator+(std::size_t n) const noexcept { return {stack_, i_ + n}; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.i_ == b.i_; }

   private:
    SegmentedStack* stack_ = nullptr;
    std::size_t i_ = 0;
  };
  Iterator begin() noexcept { return {this, 0}; }
  Iterator end() noexcept { return {this, size_}; }

 private:
  T* segment(std::size_t k) noexcept {
    return k == 0 ? reinterpret_cast<T*>(first_) : extra_[k - 1];
  }
  void add_segment() {
    // Room first, so that the push below cannot fail and lose the segment.
    if (extra_.size() == extra_.capacity())
      extra_.reserve(std::max<std::size_t>(4, 2 * extra_.size()));
    extra_.push_back(static_cast<T*>(::operator new (N * sizeof(T), std::align_val_t{alignof(T)})));
  }

  alignas(T) unsigned char first_[N * sizeof(T)];
  std::vector<T*> extra_;
  std::size_t size_ = 0;
};

}  // namespace tarvelon::support
