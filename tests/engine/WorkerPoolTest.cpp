// The copy's workers under failure: whatever throws, every thread is joined
// and the failure reaches the caller instead of ending the process.
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
