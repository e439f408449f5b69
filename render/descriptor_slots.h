// DescriptorSlots: the table of shader-resource slots that textures, targets and constant
// buffers are registered in. Slots are handed out lowest free index first, never beyond the
// heap's capacity; each slot holds what a pass binds when it names that slot.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

template <class Payload>
class DescriptorSlots {
 public:
  static constexpr int64_t kHeapCapacity = 1000;

  explicit DescriptorSlots(int64_t capacity = kHeapCapacity)
      : used_(static_cast<std::size_t>(capacity), false),
        payloads_(static_cast<std::size_t>(capacity)) {}

  // Takes the lowest free slot and stores `payload` there; nothing when every slot is taken.
  std::optional<int64_t> allocate(const Payload& payload = {}) {
    for (std::size_t i = 0; i < used_.size(); ++i) {
      if (!used_[i]) {
        used_[i] = true;
        payloads_[i] = payload;
        return static_cast<int64_t>(i);
      }
    }
    return std::nullopt;
  }

  // Returns `slot` to the free ones; out-of-range slots are ignored.
  void release(int64_t slot) {
    if (slot >= 0 && slot < capacity()) used_[static_cast<std::size_t>(slot)] = false;
  }

  bool isUsed(int64_t slot) const {
    return slot >= 0 && slot < capacity() && used_[static_cast<std::size_t>(slot)];
  }

  // The payload of a used slot, null otherwise.
  const Payload* at(int64_t slot) const {
    return isUsed(slot) ? &payloads_[static_cast<std::size_t>(slot)] : nullptr;
  }

  int64_t capacity() const { return static_cast<int64_t>(used_.size()); }

 private:
  std::vector<bool> used_;
  std::vector<Payload> payloads_;
};
