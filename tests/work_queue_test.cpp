#include "work/work_queue.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

namespace tallymere {
namespace {

// Records which worker number ran it, on which thread.
class RecordingJob final : public Job {
 public:
  void Run(unsigned worker) override {
    ++runs;
    ran_as = worker;
    thread = std::this_thread::get_id();
  }
  int runs = 0;
  unsigned ran_as = 0;
  std::thread::id thread;
};

// Per-thread state is found by worker number, so a number must always mean
// the same thread, and a worker's state must be set up before it runs
// anything.
TEST(WorkQueue, EveryJobRunsOnceAndKnowsWhichThreadRunsIt) {
  for (unsigned workers : {0u, 1u, 3u}) {
    std::vector<unsigned> started;
    WorkQueue queue(workers, [&](unsigned worker) { started.push_back(worker); });
    std::vector<unsigned> expected;
    for (unsigned w = 1; w <= queue.threads(); ++w) expected.push_back(w);
    EXPECT_EQ(started, expected) << workers;

    std::vector<RecordingJob> jobs(400);
    for (RecordingJob& job : jobs) queue.Submit(job);
    for (RecordingJob& job : jobs) queue.Wait(job);
    std::map<unsigned, std::thread::id> thread_of;
    for (const RecordingJob& job : jobs) {
      EXPECT_EQ(job.runs, 1);
      EXPECT_LE(job.ran_as, queue.threads());
      const auto first = thread_of.emplace(job.ran_as, job.thread).first;
      EXPECT_EQ(first->second, job.thread) << "worker " << job.ran_as << " ran on two threads";
      if (job.ran_as == kCallingThread) {
        EXPECT_EQ(job.thread, std::this_thread::get_id());
      }
    }
    if (queue.threads() == 0) {
      EXPECT_EQ(thread_of.size(), 1u);
    }
  }
}

// A job whose result will not be needed does nothing, wherever it runs.
TEST(WorkQueue, AnAbandonedJobIsNotRun) {
  WorkQueue queue(0);
  RecordingJob job;
  job.abandoned = true;
  queue.Submit(job);
  queue.Wait(job);
  EXPECT_EQ(job.runs, 0);
}

}  // namespace
}  // namespace tallymere
