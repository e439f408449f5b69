// A periodic timer on its own thread, standing in for the multimedia timer: calls the
// callback every `period` until stopped. Stopping waits for a running callback to return.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class PeriodicTimer {
 public:
  PeriodicTimer() = default;
  ~PeriodicTimer() { stop(); }
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Starts calling `callback` every `period`, the first time one period from now. A running
  // timer is stopped first. `name` names the thread (at most 15 characters), for tools that
  // list a process's threads.
  void start(std::chrono::milliseconds period, std::function<void()> callback, const char* name = "timer");
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};
