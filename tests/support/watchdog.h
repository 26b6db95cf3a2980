// Runs a call that might block forever (an open of a pipe, a read of a device) so that a test
// fails instead of hanging the whole test run.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace orxtest {

// True when f returned within the limit. Otherwise unblock (if given) is called to release what f
// waits on, and the result is false; f's thread is then left to end on its own.
inline bool FinishesWithin(std::function<void()> f, std::chrono::seconds limit = std::chrono::seconds(30),
                           std::function<void()> unblock = nullptr)
{
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread t([f = std::move(f), done] {
    f();
    done->set_value();
  });
  if (finished.wait_for(limit) == std::future_status::ready) {
    t.join();
    return true;
  }
  if (unblock)
    unblock();
  if (finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
    t.join();
  else
    t.detach();
  return false;
}

} // namespace orxtest
