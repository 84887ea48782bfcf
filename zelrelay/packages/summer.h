// Summing a package's bytes off the thread that receives them: its SHA-256
// and CRC-32 cost as much as writing it, and a worker computes them while
// the next bytes arrive. One worker serves a whole run; it lives no longer
// than the object that owns it, so no thread outlives the call that started
// it. Only the worker touches a Sum between Add and Drain.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "base/digest.h"

// What the bytes of one package came to so far.
struct Sum {
  Sha256 digest = StartSha256();
  uint32_t crc = 0;
  size_t pending = 0;  // chunks handed to the worker and not summed yet
};

class Summer {
 public:
  Summer() = default;
  ~Summer();
  Summer(const Summer &) = delete;
  Summer &operator=(const Summer &) = delete;

  // Queues a copy of the bytes for sum; waits while too many are queued.
  void Add(Sum &sum, const void *data, size_t size);
  // Returns once every chunk queued for sum is summed.
  void Drain(Sum &sum);

 private:
  struct Chunk {
    Sum *sum;
    std::string bytes;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  size_t queued_ = 0;  // bytes
  bool stopping_ = false;
  std::thread worker_;

  void Work();
};
