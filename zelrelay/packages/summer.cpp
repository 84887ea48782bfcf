// Summing off the receiving thread.
#include "packages/summer.h"

#include "packages/storedzip.h"

namespace {

// Enough to keep the worker busy through a burst, little enough to matter
// nowhere.
constexpr size_t kMostQueued = size_t(32) << 20;

}  // namespace

Summer::~Summer() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void Summer::Add(Sum &sum, const void *data, size_t size) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
  changed_.wait(hold, [&] { return queued_ < kMostQueued; });
  queue_.push_back({&sum, std::string(static_cast<const char *>(data), size)});
  queued_ += size;
  sum.pending++;
  changed_.notify_all();
}

void Summer::Drain(Sum &sum) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [&] { return sum.pending == 0; });
}

void Summer::Work() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    Chunk chunk = std::move(queue_.front());
    queue_.pop_front();
    hold.unlock();
    UpdateSha256(chunk.sum->digest, chunk.bytes.data(), chunk.bytes.size());
    chunk.sum->crc = Crc32(chunk.sum->crc, chunk.bytes.data(), chunk.bytes.size());
    hold.lock();
    queued_ -= chunk.bytes.size();
    chunk.sum->pending--;
    changed_.notify_all();
  }
}
