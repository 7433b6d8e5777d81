// The worker pool under failure: whatever throws, every thread is joined and
// the failure reaches the caller instead of ending the process.
#include "engine/JobQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <stdexcept>
#include <string>

namespace drovanta::engine {
namespace {

struct Thrower {
    bool inWalk;
};

void PrintTo(const Thrower &thrower, std::ostream *out)
{
    *out << (thrower.inWalk ? "the walk throws" : "a worker throws");
}

class WorkerPool : public ::testing::TestWithParam<Thrower> {};

TEST_P(WorkerPool, AThrowJoinsEveryWorkerAndReachesTheCaller)
{
    JobQueue<int> queue(4);
    std::atomic<int> running{0};
    std::atomic<int> done{0};
    const bool inWalk = GetParam().inWalk;
    const auto work = [&](Result &) {
        ++running;
        while (auto job = queue.pop()) {
            if (!inWalk && *job == 3)
                throw std::runtime_error("a worker failed");
            ++done;
        }
        --running;
    };
    const auto walk = [&](const auto &firstWorker) {
        ASSERT_TRUE(firstWorker());
        for (int job = 0; job < 50; ++job)
            queue.push(job);
        if (inWalk)
            throw std::runtime_error("the walk failed");
    };

    EXPECT_THROW(runWithWorkers(queue, 4, work, walk), std::runtime_error);

    // Every worker has ended before the call returned: the one that threw
    // left `running` raised, the others took it down again.
    EXPECT_EQ(running.load(), inWalk ? 0 : 1);
    if (inWalk) {
        EXPECT_EQ(done.load(), 50) << "the jobs queued before the walk failed are still done";
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, WorkerPool, ::testing::Values(Thrower{true}, Thrower{false}),
                         [](const ::testing::TestParamInfo<Thrower> &info) {
                             return std::string(info.param.inWalk ? "InTheWalk" : "InAWorker");
                         });

} // namespace
} // namespace drovanta::engine
