// SoundMixer: opens the sound device at start-up and runs a 50 ms tick over the registered
// sound sources. No part of the viewer registers a source, so the tick finds none and no sound
// is ever produced.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "model/cursor_list.h"
#include "platform/alsa_output.h"
#include "platform/periodic_timer.h"

class SoundMixer {
 public:
  static constexpr int kBandCount = 32;

  struct Source {
    int32_t key = 0;  // sources are looked up by key
  };

  SoundMixer() = default;
  ~SoundMixer() { stop(); }

  // Opens the device, creates the empty source list and starts the 50 ms tick. False, with no
  // list and no timer, when there is no sound device (`error` says why).
  bool Open(std::string* error = nullptr);
  // Stops the tick.
  void stop() { timer_.stop(); }

  // One tick: looks up the current source; with none, returns at once.
  void Tick();
  bool timerRunning() const { return timer_.running(); }
  int64_t ticks() const { return ticks_.load(); }

  // The first source whose key is `key`, by position lookups that leave the cursor alone.
  static Source* FindSource(const CursorList<Source>& sources, int32_t key);

 private:
  AlsaOutput output_;
  std::unique_ptr<CursorList<Source>> sources_;
  int32_t currentSource_ = 0;
  PeriodicTimer timer_;
  std::atomic<int64_t> ticks_{0};
};
