// The sound device: ALSA's default playback device, opened and formatted for 16-bit stereo at
// 44100 Hz. Nothing is ever written to it.
#pragma once

#include <string>

class AlsaOutput {
 public:
  AlsaOutput() = default;
  ~AlsaOutput();
  AlsaOutput(const AlsaOutput&) = delete;
  AlsaOutput& operator=(const AlsaOutput&) = delete;

  // Opens the default playback device without blocking and sets S16_LE, 2 channels, 44100 Hz.
  // False, with `error` set, when there is no device; a format the device refuses is not an
  // error (the device stays open, as the primary buffer of the original stays created).
  bool open(std::string* error);
  bool isOpen() const { return pcm_ != nullptr; }

 private:
  struct _snd_pcm* pcm_ = nullptr;
};
