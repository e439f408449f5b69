// A zeroed Vulkan structure with its type set, so that every field not named stays zero.
#pragma once

#include <vulkan/vulkan.h>

template <class T>
T vkStruct(VkStructureType type) {
  T value{};
  value.sType = type;
  return value;
}
