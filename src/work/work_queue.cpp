#include "work/work_queue.h"

#include <algorithm>
#include <mutex>
#include <system_error>

#include "platform/platform.h"

namespace tallymere {

WorkQueue::WorkQueue(unsigned workers, const std::function<void(unsigned)>& before_start) {
  try {
    threads_.reserve(workers);
    for (unsigned worker = 1; worker <= workers; ++worker) {
      if (before_start) before_start(worker);
      threads_.emplace_back([this, worker] { WorkerLoop(worker); });
    }
  } catch (const std::system_error&) {
    // The work is the same with fewer threads, down to none.
  }
}

WorkQueue::~WorkQueue() { Stop(); }

void WorkQueue::Stop() {
  {
    std::lock_guard<platform::Lock> lock(mutex_);
    stopping_ = true;
  }
  work_.NotifyAll();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void WorkQueue::Submit(Job& job) {
  {
    std::lock_guard<platform::Lock> lock(mutex_);
    job.state_ = Job::State::kQueued;
    queued_.push_back(&job);
  }
  work_.NotifyOne();
}

void WorkQueue::Wait(Job& job) {
  std::unique_lock<platform::Lock> lock(mutex_);
  if (job.state_ == Job::State::kQueued || job.state_ == Job::State::kNew) {
    // Not started: cheaper to run it here than to wait for a worker.
    if (job.state_ == Job::State::kQueued) queued_.erase(std::find(queued_.begin(), queued_.end(), &job));
    job.state_ = Job::State::kRunning;
    lock.unlock();
    const uint64_t started = measure_waiter_jobs_ ? platform::ThreadCpuNanoseconds() : 0;
    if (!job.abandoned) job.Run(kCallingThread);
    if (measure_waiter_jobs_) waiter_job_nanoseconds_ += platform::ThreadCpuNanoseconds() - started;
    lock.lock();
    job.state_ = Job::State::kDone;
    return;
  }
  job.awaited_ = true;
  done_.Wait(mutex_, [&job] { return job.state_ == Job::State::kDone; });
  job.awaited_ = false;
}

void WorkQueue::WorkerLoop(unsigned worker) {
  std::unique_lock<platform::Lock> lock(mutex_);
  for (;;) {
    work_.Wait(mutex_, [this] { return stopping_ || !queued_.empty(); });
    if (stopping_) return;
    Job* job = queued_.front();
    queued_.pop_front();
    job->state_ = Job::State::kRunning;
    lock.unlock();
    if (!job->abandoned) job->Run(worker);
    lock.lock();
    job->state_ = Job::State::kDone;
    // Only a job someone waits for wakes anyone: the waiting thread waits
    // for the oldest job, and waking it for each of the others done before
    // it cost a sleep, a wake-up and an interrupt between processors.
    if (job->awaited_) done_.NotifyAll();
  }
}

}  // namespace tallymere
