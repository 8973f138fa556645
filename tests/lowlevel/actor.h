// A thread that runs the steps a test hands it, one after another, so that
// two-thread scenarios can be driven step by step from the test's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace revurov::test {

class Actor {
public:
  Actor() : thread_([this] { Run(); }) {}
  ~Actor() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // Starts a step; the future tells when it has finished.
  template <typename F>
  auto Start(F f) -> std::future<decltype(f())> {
    auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
    auto result = task->get_future();
    {
      std::lock_guard lock(mutex_);
      steps_.emplace_back([task] { (*task)(); });
    }
    wake_.notify_one();
    return result;
  }

  // Runs a step to its end.
  template <typename F>
  auto Do(F f) -> decltype(f()) {
    return Start(std::move(f)).get();
  }

private:
  void Run() {
    for (;;) {
      std::function<void()> step;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stop_ || !steps_.empty(); });
        if (steps_.empty()) return;
        step = std::move(steps_.front());
        steps_.pop_front();
      }
      step();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> steps_;
  bool stop_ = false;
  std::thread thread_;
};

template <typename T>
bool IsDone(const std::future<T>& f) {
  return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// Waits, bounded, until a condition holds; false when it never did.
template <typename F>
bool Eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace revurov::test
