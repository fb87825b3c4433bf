#pragma once
// The step both background threads of the install take: one piece of work outside their lock.

#include <exception>
#include <mutex>

namespace quorvex {

// Runs work with lock released and busy set meanwhile (so that a waiter knows the thread is
// still inside it); returns holding the lock again, with what work threw, if anything, for
// the caller to keep as its failure. Nothing escapes a worker thread.
template <typename Work>
std::exception_ptr RunUnlocked(std::unique_lock<std::mutex>& lock, bool& busy, Work&& work) noexcept {
  busy = true;
  lock.unlock();
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  busy = false;
  return failure;
}

}  // namespace quorvex
