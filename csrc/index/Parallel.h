#pragma once

// Work split over threads for the index: the caller's thread takes part, chunks are handed out
// as threads become free, and a failure stops the rest.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace lumo::index {

// Runs work(worker, begin, end) over [0, count) in chunks on `threads` threads (the caller's
// included, as worker 0); the first exception is rethrown after all threads have stopped.
template <class Work>
void RunParallel(std::size_t count, unsigned threads, std::size_t chunk, Work&& work) {
  if (threads <= 1 || count <= chunk) {
    work(0u, std::size_t{0}, count);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto loop = [&](unsigned worker) {
    try {
      for (;;) {
        const std::size_t begin = next.fetch_add(chunk);
        if (begin >= count) return;
        work(worker, begin, std::min(count, begin + chunk));
      }
    } catch (...) {
      std::lock_guard<std::mutex> guard(failure_mutex);
      if (!failure) failure = std::current_exception();
      next.store(count);
    }
  };
  const auto extra = static_cast<unsigned>(std::min<std::size_t>(threads, (count + chunk - 1) / chunk) - 1);
  std::vector<std::thread> pool;
  pool.reserve(extra);
  try {
    for (unsigned i = 0; i < extra; ++i) pool.emplace_back(loop, i + 1);
  } catch (...) {
    next.store(count);
    for (auto& t : pool) t.join();
    throw;
  }
  loop(0u);
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace lumo::index
