// Worker threads that run the pipeline's jobs in the order they are handed
// over. The thread that hands them over may run one itself when it needs
// its result before a worker has started it, and runs them all when no
// worker thread could be started.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "counters/rep_counters.h"
#include "platform/sync.h"

namespace tallymere {

class Job {
 public:
  virtual ~Job() = default;
  // Does the work with the counting state of the thread that runs it (null
  // when the counter counts no parts). Reports its failures in its result;
  // nothing may escape.
  virtual void Run(PartTally* tally) = 0;
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

class WorkQueue {
 public:
  // Up to `workers` threads, each counting with a tally of the counter's;
  // fewer when the system refuses threads (memory, process limits).
  WorkQueue(unsigned workers, RepCounters& counter);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  unsigned threads() const { return static_cast<unsigned>(threads_.size()); }
  // Lets the running jobs finish and stops the threads; queued jobs are
  // left as they are.
  void Stop();
  // Queues the job; it must live until Wait has returned for it.
  void Submit(Job& job);
  // Returns when the job is done: run here, with `tally`, when no worker
  // has taken it yet.
  void Wait(Job& job, PartTally* tally);
  // Measures the processor time the waiting thread spends running jobs
  // itself. Off by default: on Windows every reading of a thread's times is
  // a call into the system's server, two for each job.
  void MeasureWaiterJobs() { measure_waiter_jobs_ = true; }
  uint64_t waiter_job_nanoseconds() const { return waiter_job_nanoseconds_; }

 private:
  void WorkerLoop(PartTally* tally);

  // Jobs are handed over and finished thousands of times a second: the
  // system's lightest lock and conditions.
  platform::Lock mutex_;
  platform::Condition work_;  // a job was queued, or the queue stops
  platform::Condition done_;  // a job is done
  std::deque<Job*> queued_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<PartTally>> tallies_;
  bool measure_waiter_jobs_ = false;
  uint64_t waiter_job_nanoseconds_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace tallymere
