#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace lumo::typing::text::limonp {

// A vector that keeps its first 16 elements inside the object, so that the runes of a short
// sentence or word never touch the heap. Only for plain records (runes, rune records, pairs of
// a position and a pointer): elements are copied bitwise and never destroyed one by one, and
// storage is left unconstructed until an element is appended, so a new vector costs nothing
// beyond its three fields (a trie look-up builds one per rune of the text).
template <class T>
class LocalVector {
  static_assert(std::is_trivially_copy_constructible<T>::value && std::is_trivially_destructible<T>::value,
                "LocalVector holds plain records only");

 public:
  static constexpr std::size_t LOCAL_VECTOR_BUFFER_SIZE = 16;

  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;
  using reference = T&;
  using const_reference = const T&;

  LocalVector() : ptr_(Local()), size_(0), capacity_(LOCAL_VECTOR_BUFFER_SIZE) {}

  LocalVector(const LocalVector& other) : ptr_(Local()), size_(0), capacity_(LOCAL_VECTOR_BUFFER_SIZE) {
    CopyFrom(other);
  }

  LocalVector& operator=(const LocalVector& other) {
    if (this != &other) {
      clear();
      CopyFrom(other);
    }
    return *this;
  }

  ~LocalVector() { ReleaseHeap(); }

  void push_back(const T& value) {
    if (size_ == capacity_) {
      // `value` may live inside this vector; copy it before the storage moves.
      const T copy = value;
      reserve(capacity_ * 2);
      ::new (static_cast<void*>(ptr_ + size_++)) T(copy);
      return;
    }
    ::new (static_cast<void*>(ptr_ + size_++)) T(value);
  }

  // Grows to exactly `n` elements of storage; never shrinks.
  void reserve(size_type n) {
    if (n <= capacity_) {
      return;
    }
    T* next = Allocate(n);
    std::uninitialized_copy(ptr_, ptr_ + size_, next);
    ReleaseHeap();
    ptr_ = next;
    capacity_ = n;
  }

  // Back to the inline buffer: size 0, capacity 16.
  void clear() {
    ReleaseHeap();
    ptr_ = Local();
    size_ = 0;
    capacity_ = LOCAL_VECTOR_BUFFER_SIZE;
  }

  T& operator[](size_type i) { return ptr_[i]; }
  const T& operator[](size_type i) const { return ptr_[i]; }
  T& back() { return ptr_[size_ - 1]; }
  const T& back() const { return ptr_[size_ - 1]; }

  size_type size() const { return size_; }
  size_type capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  // True while the elements live in the inline buffer.
  bool is_local() const { return ptr_ == Local(); }

  iterator begin() { return ptr_; }
  iterator end() { return ptr_ + size_; }
  const_iterator begin() const { return ptr_; }
  const_iterator end() const { return ptr_ + size_; }
  const_iterator cbegin() const { return ptr_; }
  const_iterator cend() const { return ptr_ + size_; }

 private:
  // Expects this vector to be in its cleared state.
  void CopyFrom(const LocalVector& other) {
    if (!other.is_local()) {
      ptr_ = Allocate(other.capacity_);
      capacity_ = other.capacity_;
    }
    std::uninitialized_copy(other.ptr_, other.ptr_ + other.size_, ptr_);
    size_ = other.size_;
  }

  static T* Allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }

  void ReleaseHeap() {
    if (!is_local()) {
      ::operator delete(ptr_);
    }
  }

  T* Local() { return reinterpret_cast<T*>(buffer_); }
  const T* Local() const { return reinterpret_cast<const T*>(buffer_); }

  alignas(T) unsigned char buffer_[LOCAL_VECTOR_BUFFER_SIZE * sizeof(T)];
  T* ptr_;
  std::size_t size_;
  std::size_t capacity_;
};

}  // namespace lumo::typing::text::limonp
