#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/base/QMutex.h"
#include "engine/base/QThread.h"

using namespace lf;

namespace {

TEST(QTMutexTest, RecursiveUnlockAnswersTrueWhileOwned) {
    QTMutex m;
    EXPECT_FALSE(m.Unlock());  // not owned
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.TryLock());
    EXPECT_EQ(m.LevelsHeld(), 3);
    EXPECT_TRUE(m.Unlock());  // two levels left
    EXPECT_TRUE(m.Unlock());  // one left
    EXPECT_TRUE(m.Unlock());  // released now, still true: the caller owned it
    EXPECT_FALSE(m.Unlock());
    EXPECT_EQ(m.LevelsHeld(), 0);
}

TEST(QTMutexTest, OtherThreadsCannotUnlockOrTryLock) {
    QTMutex m;
    m.Lock();
    m.Lock();
    std::thread other([&] {
        EXPECT_FALSE(m.TryLock());  // owned by another thread: fails at once
        EXPECT_FALSE(m.Unlock());   // not the owner
    });
    other.join();
    // Unlock until false releases every level.
    int calls = 0;
    while (m.Unlock()) ++calls;
    EXPECT_EQ(calls, 2);
    std::thread taker([&] {
        EXPECT_TRUE(m.TryLock());
        EXPECT_TRUE(m.Unlock());
    });
    taker.join();
}

TEST(QTMutexTest, ReleaseAllLevelsAndClose) {
    QTMutex m;
    for (int i = 0; i < 5; ++i) m.Lock();
    ReleaseAllLevels(m, 0);
    EXPECT_FALSE(m.IsOwnedByCaller());
    m.Close();  // takes and releases
    EXPECT_FALSE(m.IsOwnedByCaller());
    std::thread t([&] {
        EXPECT_TRUE(m.TryLock());
        m.Unlock();
    });
    t.join();
}

TEST(QTMutexTest, ExcludesUnderContention) {
    QTMutex m;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                QGuard g(m);
                QGuard inner(m);  // recursion
                ++counter;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 80000);
}

struct Owned : QThreadOwned {
    explicit Owned(std::atomic<int>* d) : deleted(d) {}
    ~Owned() override { ++*deleted; }
    std::atomic<int>* deleted;
};

class LoopThread : public QThread {
public:
    ~LoopThread() override { StopAndWait(); }
    void Run() override {
        ++runs;
        while (!StopRequested()) {
            ++passes;
            SleepMs(2);
        }
        if (stopSelf) ownStopResult = StopAndWait();
    }
    std::atomic<int> runs{0};
    std::atomic<long> passes{0};
    std::atomic<bool> stopSelf{false};
    std::atomic<bool> ownStopResult{true};
};

TEST(QThreadTest, StartStopRestartAndGeneration) {
    LoopThread t;
    std::atomic<int> deleted{0};
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.StopAndWait());  // nothing runs: true
    QThreadId id0 = 0;
    EXPECT_FALSE(t.RequestStop(&id0));
    ASSERT_TRUE(t.Start("loop", new Owned(&deleted)));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_EQ(t.Generation(), 1u);
    EXPECT_GE(t.StartTime(), 1u);
    EXPECT_FALSE(t.Start("again", new Owned(&deleted)));  // already running
    EXPECT_EQ(deleted.load(), 1);                         // refused object deleted
    EXPECT_TRUE(t.StopAndWait());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(deleted.load(), 2);  // owned object of the run released
    ASSERT_TRUE(t.Start("loop"));
    EXPECT_EQ(t.Generation(), 2u);
    QThreadId id = 0;
    EXPECT_TRUE(t.RequestStop(&id));
    EXPECT_NE(id, 0u);
    while (!t.HasEnded(id)) SleepMs(5);
    EXPECT_EQ(t.runs.load(), 2);
}

TEST(QThreadTest, StopFromOwnThreadFailsWithoutDeadlock) {
    LoopThread t;
    t.stopSelf = true;
    ASSERT_TRUE(t.Start("self"));
    EXPECT_TRUE(t.StopAndWait());
    EXPECT_FALSE(t.ownStopResult.load());
}

TEST(QThreadTest, PauseBlocksInStopCheckAndStopEndsIt) {
    QThread::SetPausePollMs(20);
    LoopThread t;
    ASSERT_TRUE(t.Start("pause"));
    t.Pause(true);
    EXPECT_TRUE(t.IsPaused());
    SleepMs(100);
    long before = t.passes.load();
    SleepMs(200);
    EXPECT_EQ(t.passes.load(), before);  // blocked inside StopRequested
    EXPECT_TRUE(t.StopAndWait());        // the stop request releases the wait
    EXPECT_FALSE(t.IsRunning());
    ASSERT_TRUE(t.Start("again"));  // a new start clears the pause flag
    EXPECT_FALSE(t.IsPaused());
    EXPECT_TRUE(t.StopAndWait());
    QThread::SetPausePollMs(1000);
}

class ThrowingThread : public QThread {
public:
    ~ThrowingThread() override { StopAndWait(); }
    void Run() override {
        m_lock.Lock();
        m_lock.Lock();
        throw 42;
    }
};

TEST(QThreadTest, ExceptionReleasesEveryLevelOfTheLock) {
    ThrowingThread t;
    ASSERT_TRUE(t.Start("throw"));
    while (t.IsRunning()) SleepMs(5);
    // The lock is free for another thread.
    std::thread other([&] {
        EXPECT_TRUE(t.Mutex().TryLock());
        t.Mutex().Unlock();
    });
    other.join();
}

class QuickThread : public QThread {
public:
    ~QuickThread() override { StopAndWait(); }
    void Run() override {}
};

TEST(QThreadTest, ThreadThatEndsAtOnceStillCountsAsStarted) {
    QuickThread t;
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(t.Start("quick"));
        while (t.IsRunning()) SleepMs(1);
    }
}

class SelfDeleting : public QThread {
public:
    explicit SelfDeleting(std::atomic<bool>* gone) : m_gone(gone) {}
    ~SelfDeleting() override { *m_gone = true; }
    void Run() override {}
    std::atomic<bool>* m_gone;
};

TEST(QThreadTest, AutoDeleteDeletesAfterTheThreadEnds) {
    std::atomic<bool> gone{false};
    auto* t = new SelfDeleting(&gone);
    t->SetAutoDelete(true);
    ASSERT_TRUE(t->Start("autodel"));
    for (int i = 0; i < 200 && !gone; ++i) SleepMs(5);
    EXPECT_TRUE(gone.load());
}

TEST(QThreadTest, WaitSecondsEndsEarlyOnStop) {
    struct Waiter : QThread {
        ~Waiter() override { StopAndWait(); }
        void Run() override {
            WaitSeconds(30);
            done = true;
        }
        std::atomic<bool> done{false};
    } w;
    ASSERT_TRUE(w.Start("waiter"));
    SleepMs(50);
    EXPECT_TRUE(w.StopAndWait());  // within about a second, not 30
    EXPECT_TRUE(w.done.load());
}

}  // namespace
