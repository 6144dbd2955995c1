// The event loop's delayed tasks, socket handlers and nested loops.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "event/DelayedTaskQueue.h"
#include "event/Medium.h"

namespace {

struct Recorder {
    std::vector<int> order;
};

struct Tagged {
    Recorder* recorder;
    int tag;
    static void run(void* data) {
        auto* self = static_cast<Tagged*>(data);
        self->recorder->order.push_back(self->tag);
    }
};

TEST(DelayedTaskQueue, RunsByDueTimeThenScheduleOrderAndIgnoresStaleTokens) {
    DelayedTaskQueue queue;
    Recorder recorder;
    Tagged a{&recorder, 1}, b{&recorder, 2}, c{&recorder, 3}, d{&recorder, 4};
    queue.schedule(200, Tagged::run, &a);
    TaskToken second = queue.schedule(100, Tagged::run, &b);
    queue.schedule(100, Tagged::run, &c);
    TaskToken cancelled = queue.schedule(50, Tagged::run, &d);
    queue.cancel(cancelled);
    queue.cancel(cancelled);  // twice is fine
    EXPECT_EQ(queue.pending(), 3u);
    EXPECT_EQ(queue.nextDue(), 100);
    TaskFunc* proc;
    void* data;
    EXPECT_FALSE(queue.popDue(99, proc, data));
    while (queue.popDue(1000, proc, data)) proc(data);
    EXPECT_EQ(recorder.order, (std::vector<int>{2, 3, 1}));
    // A token whose task ran (its slot now reused) cancels nothing.
    Tagged e{&recorder, 5};
    queue.schedule(10, Tagged::run, &e);
    queue.cancel(second);
    EXPECT_EQ(queue.pending(), 1u);
}

TEST(DelayedTaskQueue, RepeatedCancellationDoesNotGrowWithoutBound) {
    DelayedTaskQueue queue;
    Recorder recorder;
    Tagged t{&recorder, 1};
    for (int i = 0; i < 100000; ++i) queue.cancel(queue.schedule(65000000, Tagged::run, &t));
    EXPECT_EQ(queue.pending(), 0u);
    EXPECT_LT(queue.heapEntries(), 200u) << "cancelled long timers are compacted away";
    EXPECT_EQ(queue.nextDue(), -1);
}

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fScheduler.reset(BasicTaskScheduler::createNew());
        ASSERT_NE(fScheduler, nullptr);
        fEnv = BasicUsageEnvironment::createNew(*fScheduler);
    }
    void TearDown() override { EXPECT_TRUE(fEnv->reclaim()); }
    std::unique_ptr<BasicTaskScheduler> fScheduler;
    BasicUsageEnvironment* fEnv = nullptr;
};

TEST_F(SchedulerTest, DelayedTaskNeverRunsEarly) {
    struct Stamp {
        int64_t at = 0;
        static void run(void* data) { static_cast<Stamp*>(data)->at = BasicTaskScheduler::nowMicroseconds(); }
    } stamp;
    int64_t start = BasicTaskScheduler::nowMicroseconds();
    fScheduler->scheduleDelayedTask(1000, Stamp::run, &stamp);
    while (stamp.at == 0) ASSERT_EQ(fScheduler->SingleStep(), 0);
    EXPECT_GE(stamp.at - start, 1000);
}

TEST_F(SchedulerTest, TaskRescheduledWithNoDelayWaitsForTheNextStep) {
    struct Spinner {
        BasicTaskScheduler* scheduler;
        int runs = 0;
        static void run(void* data) {
            auto* self = static_cast<Spinner*>(data);
            ++self->runs;
            self->scheduler->scheduleDelayedTask(0, run, self);
        }
    } spinner{fScheduler.get()};
    fScheduler->scheduleDelayedTask(0, Spinner::run, &spinner);
    ASSERT_EQ(fScheduler->SingleStep(), 0);
    EXPECT_EQ(spinner.runs, 1);
}

TEST_F(SchedulerTest, HandlerRemovedByAnEarlierHandlerOfTheStepIsNotCalled) {
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    struct Both {
        BasicTaskScheduler* scheduler;
        int other;
        int calls = 0;
        static void handler(void* data, int) {
            auto* self = static_cast<Both*>(data);
            ++self->calls;
            self->scheduler->disableBackgroundHandling(self->other);
        }
    };
    Both first{fScheduler.get(), b[0]}, second{fScheduler.get(), a[0]};
    fScheduler->setBackgroundHandling(a[0], SOCKET_READABLE, Both::handler, &first);
    fScheduler->setBackgroundHandling(b[0], SOCKET_READABLE, Both::handler, &second);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    ASSERT_EQ(fScheduler->SingleStep(), 0);
    EXPECT_EQ(first.calls + second.calls, 1);
    for (int fd : {a[0], a[1], b[0], b[1]}) {
        fScheduler->disableBackgroundHandling(fd);
        close(fd);
    }
}

TEST_F(SchedulerTest, NestedLoopReturnsOnItsWatchVariableAndAFailedStepReachesTheOuterLoop) {
    struct Setter {
        char watch = 0;
        static void run(void* data) { static_cast<Setter*>(data)->watch = 1; }
    } setter;
    fScheduler->scheduleDelayedTask(2000, Setter::run, &setter);
    fScheduler->doEventLoop(&setter.watch);
    EXPECT_EQ(setter.watch, 1);

    char never = 0;
    fScheduler->failNextStep();
    fScheduler->doEventLoop(&never);  // leaves at the failed step
    EXPECT_EQ(fScheduler->SingleStep(), -1) << "the outer loop hears of it";
    EXPECT_EQ(fScheduler->SingleStep(), 0);
}

class Probe : public Medium {
public:
    static Probe* createNew(UsageEnvironment& env, bool* destroyed) { return new Probe(env, destroyed); }
    void schedule() { nextTask() = envir().taskScheduler().scheduleDelayedTask(0, fire, this); }
    static void fire(void*) { ADD_FAILURE() << "a closed medium's task ran"; }

protected:
    Probe(UsageEnvironment& env, bool* destroyed) : Medium(env), fDestroyed(destroyed) {}
    ~Probe() override { *fDestroyed = true; }

private:
    bool* fDestroyed;
};

TEST_F(SchedulerTest, ClosedMediumIsGoneFromItsTableAndItsTaskNeverRuns) {
    bool destroyed = false;
    Probe* probe = Probe::createNew(*fEnv, &destroyed);
    std::string name = probe->name();
    Medium* found = nullptr;
    EXPECT_TRUE(Medium::lookupByName(*fEnv, name.c_str(), found));
    EXPECT_EQ(found, probe);
    probe->schedule();
    Medium::close(*fEnv, name.c_str());
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(Medium::lookupByName(*fEnv, name.c_str(), found));
    EXPECT_EQ(fScheduler->SingleStep(), 0);
}

}  // namespace
