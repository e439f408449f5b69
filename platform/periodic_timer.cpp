#include "platform/periodic_timer.h"

#include <pthread.h>

#include <string>

void PeriodicTimer::start(std::chrono::milliseconds period, std::function<void()> callback, const char* name) {
  stop();
  stopping_ = false;
  thread_ = std::thread([this, period, callback = std::move(callback), threadName = std::string(name)] {
    pthread_setname_np(pthread_self(), threadName.substr(0, 15).c_str());
    // Ticks keep to a fixed schedule rather than drifting by the callback's own time.
    auto next = std::chrono::steady_clock::now() + period;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
      lock.unlock();
      callback();
      lock.lock();
      next += period;
      auto now = std::chrono::steady_clock::now();
      if (next < now) next = now + period;  // skip missed ticks after a stall
    }
  });
}

void PeriodicTimer::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // stopped from its own callback: the loop ends after it returns
  } else {
    thread_.join();
  }
}
