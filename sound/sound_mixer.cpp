#include "sound/sound_mixer.h"

#include <chrono>

bool SoundMixer::Open(std::string* error) {
  if (!output_.open(error)) return false;
  sources_ = std::make_unique<CursorList<Source>>();
  if (!timer_.running()) timer_.start(std::chrono::milliseconds(50), [this] { Tick(); }, "sound-tick");
  return true;
}

SoundMixer::Source* SoundMixer::FindSource(const CursorList<Source>& sources, int32_t key) {
  for (int32_t i = 1; i <= sources.count(); ++i) {
    Source* source = sources.at(i)->item;
    if (source != nullptr && source->key == key) return source;
  }
  return nullptr;
}

void SoundMixer::Tick() {
  ticks_.fetch_add(1);
  // The list is only ever read: nothing registers a source.
  if (sources_ == nullptr || FindSource(*sources_, currentSource_) == nullptr) return;
}
