// Work items done on a few threads and used in order on the calling one.
//
// The report is formatted batch by batch on helper threads and written in
// batch order by the thread that called. The helpers are started once per
// report, not once per batch: a report of hundreds of batches would
// otherwise start hundreds of threads, which costs little on Linux but
// much under some Windows layers (each new thread's stack is cleared and
// announced to a server).
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace tallymere {

class OrderedWork {
 public:
  // `make(i)` prepares item i on any thread; at most `ahead` items are made
  // beyond the one being used.
  OrderedWork(size_t items, size_t ahead, std::function<void(size_t)> make);
  // Stops the helpers; items not yet made are left undone.
  ~OrderedWork();
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  // Starts up to `threads` helpers, fewer when the system refuses threads;
  // without any, UseInOrder makes each item itself.
  void Start(unsigned threads);
  // Calls `use(i)` for every item in order, each once it is made. What a
  // `make` threw is thrown here, at its item's turn.
  void UseInOrder(const std::function<void(size_t)>& use);

 private:
  void HelperLoop();
  // Makes item i, keeping what it throws for its turn.
  void Make(size_t i);

  const size_t items_;
  const size_t ahead_;
  const std::function<void(size_t)> make_;
  platform::Lock mutex_;
  platform::Condition made_;  // an item is made
  platform::Condition room_;  // an item was used, or the helpers stop
  size_t next_to_make_ = 0;
  size_t used_ = 0;
  bool stopping_ = false;
  std::vector<char> done_;
  std::vector<std::exception_ptr> failures_;
  std::vector<std::thread> helpers_;
};

}  // namespace tallymere
