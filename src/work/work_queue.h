// Worker threads that run jobs in the order they are handed over. The
// thread that hands them over may run one itself when it needs its result
// before a worker has started it, and runs them all when no worker thread
// could be started.
//
// The queue knows nothing of what a job does. A job is told which thread
// runs it (its worker number), so that state kept per thread, such as a
// counter's tally, is found without a lock: the caller keeps that state in
// a table indexed by worker number.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace tallymere {

class Job {
 public:
  virtual ~Job() = default;
  // Does the work on the thread numbered `worker` (kCallingThread, or 1 to
  // threads()). Reports its failures in its result; nothing may escape.
  virtual void Run(unsigned worker) = 0;
  // A job that unpacks nothing costs less than handing it to a worker (a
  // wake-up, an interrupt between processors): it runs where it is handed
  // out.
  virtual bool light() const { return false; }

  // Set by the one who waited for the job once its result is taken in.
  bool consumed = false;
  // Set when its result will not be needed: it then does nothing.
  std::atomic<bool> abandoned{false};

 private:
  friend class WorkQueue;
  enum class State { kNew, kQueued, kRunning, kDone };
  State state_ = State::kNew;
  bool awaited_ = false;  // a thread waits for it to be done
};

// The worker number of the thread that hands jobs over and waits for them.
inline constexpr unsigned kCallingThread = 0;

class WorkQueue {
 public:
  // Up to `workers` threads, numbered from 1; fewer when the system refuses
  // threads (memory, process limits). `before_start(w)` runs on this thread
  // before worker w starts, to set up what jobs on it will need.
  explicit WorkQueue(unsigned workers, const std::function<void(unsigned)>& before_start = {});
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  unsigned threads() const { return static_cast<unsigned>(threads_.size()); }
  // Lets the running jobs finish and stops the threads; queued jobs are
  // left as they are.
  void Stop();
  // Queues the job; it must live until Wait has returned for it.
  void Submit(Job& job);
  // Returns when the job is done: run here, as kCallingThread, when no
  // worker has taken it yet.
  void Wait(Job& job);
  // Measures the processor time the waiting thread spends running jobs
  // itself. Off by default: on Windows every reading of a thread's times is
  // a call into the system's server, two for each job.
  void MeasureWaiterJobs() { measure_waiter_jobs_ = true; }
  uint64_t waiter_job_nanoseconds() const { return waiter_job_nanoseconds_; }

 private:
  void WorkerLoop(unsigned worker);

  // Jobs are handed over and finished thousands of times a second: the
  // system's lightest lock and conditions.
  platform::Lock mutex_;
  platform::Condition work_;  // a job was queued, or the queue stops
  platform::Condition done_;  // a job is done
  std::deque<Job*> queued_;
  bool stopping_ = false;
  bool measure_waiter_jobs_ = false;
  uint64_t waiter_job_nanoseconds_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace tallymere
