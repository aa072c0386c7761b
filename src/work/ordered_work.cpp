#include "work/ordered_work.h"

#include <mutex>
#include <system_error>
#include <utility>

namespace tallymere {

OrderedWork::OrderedWork(size_t items, size_t ahead, std::function<void(size_t)> make)
    : items_(items), ahead_(ahead), make_(std::move(make)), done_(items, 0), failures_(items) {}

OrderedWork::~OrderedWork() {
  {
    std::lock_guard<platform::Lock> lock(mutex_);
    stopping_ = true;
  }
  room_.NotifyAll();
  for (std::thread& helper : helpers_) helper.join();
}

void OrderedWork::Start(unsigned threads) {
  for (unsigned t = 0; t < threads; ++t) {
    try {
      helpers_.emplace_back([this] { HelperLoop(); });
    } catch (const std::system_error&) {
      break;  // the helpers that started do the work
    }
  }
}

void OrderedWork::Make(size_t i) {
  try {
    make_(i);
  } catch (...) {
    failures_[i] = std::current_exception();
  }
}

void OrderedWork::HelperLoop() {
  std::unique_lock<platform::Lock> lock(mutex_);
  for (;;) {
    room_.Wait(mutex_, [&] { return stopping_ || next_to_make_ >= items_ || next_to_make_ < used_ + ahead_; });
    if (stopping_ || next_to_make_ >= items_) return;
    const size_t i = next_to_make_++;
    lock.unlock();
    Make(i);
    lock.lock();
    done_[i] = 1;
    made_.NotifyOne();
  }
}

void OrderedWork::UseInOrder(const std::function<void(size_t)>& use) {
  for (size_t i = 0; i < items_; ++i) {
    if (helpers_.empty()) {
      Make(i);
    } else {
      std::lock_guard<platform::Lock> lock(mutex_);
      made_.Wait(mutex_, [&] { return done_[i] != 0; });
    }
    if (failures_[i]) std::rethrow_exception(failures_[i]);
    use(i);
    {
      std::lock_guard<platform::Lock> lock(mutex_);
      used_ = i + 1;
    }
    room_.NotifyAll();
  }
}

}  // namespace tallymere
