#include "render/frame_presenter.h"

#include "render/render_device.h"

bool PictureReader::acquire() { return true; }

void PictureReader::recordPresent(VkCommandBuffer cmd, const GpuImage& picture) {
  read_ = device_.prepareReadBack(picture);
  if (read_) device_.recordReadBack(cmd, picture);
}

void PictureReader::present() {
  if (read_) device_.copyReadBack(rgba);
}
