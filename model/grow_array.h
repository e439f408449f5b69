// GrowArray: a growable array of fixed-size, trivially copyable elements, copied in byte for
// byte. It grows by 100 slots, with a full copy, whenever an append finds count >= capacity - 1,
// so it never holds more than capacity - 1 elements before growing. It does not own what its
// elements point to.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

template <class T>
class GrowArray {
  static_assert(std::is_trivially_copyable_v<T>, "GrowArray copies elements byte for byte");

 public:
  static constexpr int64_t kGrowth = 100;

  GrowArray() : data_(new std::byte[kGrowth * sizeof(T)]), capacity_(kGrowth) {}
  GrowArray(const GrowArray&) = delete;
  GrowArray& operator=(const GrowArray&) = delete;

  // Copies the element into slot count(), growing first when needed. Always true.
  bool append(const T& element) {
    if (count_ >= capacity_ - 1) grow();
    std::memcpy(data_.get() + count_ * static_cast<int64_t>(sizeof(T)), &element, sizeof(T));
    ++count_;
    return true;
  }

  // Address of element `index` for 0 <= index < count(), null otherwise. Valid until the next
  // append that grows the array.
  T* at(int64_t index) {
    if (index < 0 || index >= count_) return nullptr;
    return reinterpret_cast<T*>(data_.get() + index * static_cast<int64_t>(sizeof(T)));
  }
  const T* at(int64_t index) const { return const_cast<GrowArray*>(this)->at(index); }

  int64_t count() const { return count_; }
  int64_t capacity() const { return capacity_; }

 private:
  void grow() {
    int64_t newCapacity = capacity_ + kGrowth;
    std::unique_ptr<std::byte[]> block(new std::byte[newCapacity * sizeof(T)]());
    std::memcpy(block.get(), data_.get(), static_cast<std::size_t>(capacity_) * sizeof(T));
    data_ = std::move(block);
    capacity_ = newCapacity;
  }

  std::unique_ptr<std::byte[]> data_;  // capacity_ slots; contents of a new array not cleared
  int64_t capacity_;
  int64_t count_ = 0;
};
