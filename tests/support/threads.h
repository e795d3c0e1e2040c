// SPDX-License-Identifier: MIT
// Threads for tests: a body run on a thread of its own (whose per-thread caches start
// empty), on two threads that start together, or under a deadline.
#ifndef KITE_TESTS_THREADS_H
#define KITE_TESTS_THREADS_H

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace kite_test {

// Runs body on a new thread and waits for it to end.
inline void on_new_thread(const std::function<void()>& body) {
  std::thread(body).join();
}

// Runs body(0) and body(1) on two threads that start together.
inline void on_two_threads(const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  auto run = [&](int id) {
    ++ready;
    while (ready < 2) std::this_thread::yield();
    body(id);
  };
  std::thread a(run, 0), b(run, 1);
  a.join();
  b.join();
}

// Runs body on a new thread: true when it ended within limit. A body that hangs is left
// behind on its detached thread, so a test of a hang fails instead of hanging; it must
// not refer to anything the test destroys.
inline bool finishes_within(std::chrono::milliseconds limit, std::function<void()> body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([done, body = std::move(body)] {
    body();
    done->set_value();
  }).detach();
  return ended.wait_for(limit) == std::future_status::ready;
}

}  // namespace kite_test

#endif
