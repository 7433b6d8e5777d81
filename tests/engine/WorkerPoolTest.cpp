// The worker pool under failure: whatever throws, every thread is joined and
// the failure reaches the caller instead of ending the process.
#include "engine/JobQueue.h"
#include "engine/WorkStack.h"

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

// The same of the workers that list what they take: a throw in the first
// listing or in a worker's ends the copy with every worker joined.
class ListingWorkers : public ::testing::TestWithParam<Thrower> {};

TEST_P(ListingWorkers, AThrowJoinsEveryWorkerAndReachesTheCaller)
{
    using Work = WorkStack<int, int>;
    const bool inWalk = GetParam().inWalk;
    std::atomic<int> running{0};
    Work *work = nullptr;
    Work stack(4, [&](Work::Batch &part, Result &) {
        ++running;
        for (const int entry : part.entries) {
            Work::Place place;
            if (entry < 8) // a folder: lists eight entries more
                work->push(Work::Batch{0, {8, 9, 10, 11, 12, 13, 14, 15}}, place);
            else if (!inWalk && entry == 13) {
                --running;
                throw std::runtime_error("a worker failed");
            }
        }
        --running;
    });
    work = &stack;

    EXPECT_THROW(stack.run([&](Result &) {
        Work::Place place;
        stack.push(Work::Batch{0, {0, 1, 2, 3, 4, 5, 6, 7}}, place);
        if (inWalk)
            throw std::runtime_error("the first listing failed");
    }),
                 std::runtime_error);
    EXPECT_EQ(running.load(), 0) << "a worker still at work after the call returned";
}

INSTANTIATE_TEST_SUITE_P(Failures, ListingWorkers, ::testing::Values(Thrower{true}, Thrower{false}),
                         [](const ::testing::TestParamInfo<Thrower> &info) {
                             return std::string(info.param.inWalk ? "InTheFirstListing" : "InAWorker");
                         });

} // namespace
} // namespace drovanta::engine
