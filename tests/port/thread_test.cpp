// The thread base class: hand-overs to the thread that owns the hand-over window,
// the wait for a thread's end, and the window's life.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>

#include "port/thread.h"
#include "test_support.h"

namespace {

// A thread whose body hands one operation over and records where it ran.
class HandingThread : public TThread {
 public:
  explicit HandingThread(bool fail = false)
      : fail_(fail), aboutToHandOver_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~HandingThread() override {
    WaitForEnd();
    CloseHandle(aboutToHandOver_);
  }

  HANDLE aboutToHandOver() const { return aboutToHandOver_; }
  DWORD ranOn() const { return ranOn_.load(); }
  bool handOverFailedHere() const { return handOverFailedHere_.load(); }
  // True once the hand-over has returned, if the operation had run by then.
  bool returnedAfterTheOperation() const { return returnedAfterTheOperation_.load(); }

 protected:
  void Run() override {
    SetEvent(aboutToHandOver_);
    try {
      HandOver([this] {
        ranOn_ = GetCurrentThreadId();
        if (fail_) {
          throw std::runtime_error("handed-over failure");
        }
      });
      returnedAfterTheOperation_ = ranOn_.load() != 0;
    } catch (const std::runtime_error&) {
      handOverFailedHere_ = true;
      throw;  // ends the run
    }
  }

 private:
  bool fail_;
  HANDLE aboutToHandOver_;
  std::atomic<DWORD> ranOn_{0};
  std::atomic<bool> handOverFailedHere_{false};
  std::atomic<bool> returnedAfterTheOperation_{false};
};

class IdleThread : public TThread {
 public:
  ~IdleThread() override { WaitForEnd(); }
  std::atomic<bool> ran{false};
  std::atomic<bool> sawStopRequest{false};  // what StopRequested() told the body

 protected:
  void Run() override {
    sawStopRequest = StopRequested();
    ran = true;
  }
};

class ThreadTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Let a pending window removal go, so the next test starts without a window.
    DispatchPostedMessages();
  }
};

TEST_F(ThreadTest, HandOverRunsOnTheThreadThatMadeTheThreadObject) {
  HandingThread thread;
  EXPECT_EQ(thread.HandOverThreadId(), GetCurrentThreadId());
  thread.Start();
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return thread.ranOn() != 0; }));
  EXPECT_EQ(thread.ranOn(), GetCurrentThreadId());
  EXPECT_EQ(thread.WaitForEnd(), 0u);
}

TEST_F(ThreadTest, HandOverWaitsUntilTheHandOverThreadRetrievesSentMessages) {
  HandingThread thread;
  thread.Start();
  ASSERT_TRUE(WaitFor(thread.aboutToHandOver()));
  // The hand-over is sent to this thread, which does not deliver it yet: the
  // operation has not run and the thread waits for it.
  ASSERT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_SENDMESSAGE), WAIT_OBJECT_0)
      << "no hand-over was sent to this thread";
  EXPECT_EQ(WaitForSingleObject(thread.ThreadHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(thread.ranOn(), 0u);
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return thread.ranOn() != 0; }));
  EXPECT_EQ(thread.WaitForEnd(), 0u);
  EXPECT_TRUE(thread.returnedAfterTheOperation()) << "the hand-over returned before it ran";
}

TEST_F(ThreadTest, WaitForEndOnTheHandOverThreadDeliversAHandOverUnderWay) {
  HandingThread thread;
  thread.Start();
  ASSERT_TRUE(WaitFor(thread.aboutToHandOver()));
  Watchdog watchdog(10000, "WaitForEnd on the hand-over thread");
  EXPECT_EQ(thread.WaitForEnd(), 0u);
  EXPECT_EQ(thread.ranOn(), GetCurrentThreadId());
}

TEST_F(ThreadTest, FailureOfAHandedOverOperationEndsTheThreadNotTheHandOverThread) {
  HandingThread failing(true);
  failing.Start();
  EXPECT_EQ(failing.WaitForEnd(), 1u);
  EXPECT_TRUE(failing.handOverFailedHere());
  EXPECT_EQ(failing.ranOn(), GetCurrentThreadId());

  // The hand-over thread goes on handling hand-overs.
  HandingThread next;
  next.Start();
  EXPECT_EQ(next.WaitForEnd(), 0u);
  EXPECT_EQ(next.ranOn(), GetCurrentThreadId());
}

TEST_F(ThreadTest, StopRequestIsAFlagTheBodyReads) {
  IdleThread thread;
  EXPECT_FALSE(thread.StopRequested());
  thread.RequestStop();
  EXPECT_FALSE(thread.Finished());
  thread.Start();
  thread.WaitForEnd();
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.ran);
  EXPECT_TRUE(thread.sawStopRequest) << "the body did not see the request made before it ran";
}

// Notes in a flag of the test whether its body ran.
class FlaggingThread : public TThread {
 public:
  explicit FlaggingThread(std::atomic<bool>* ran) : ran_(ran) {}

 protected:
  void Run() override { *ran_ = true; }

 private:
  std::atomic<bool>* ran_;
};

TEST_F(ThreadTest, ThreadObjectNeverStartedIsDestroyedWithoutRunningItsBody) {
  std::atomic<bool> ran{false};
  {
    Watchdog watchdog(10000, "destroying a thread that never started");
    FlaggingThread thread(&ran);
  }
  EXPECT_FALSE(ran.load());
}

// The window belongs to a thread; the thread proc below owns the first object.
DWORD WINAPI MakeAndDropAThreadObject(LPVOID result) {
  {
    IdleThread thread;
    *static_cast<DWORD*>(result) = thread.HandOverThreadId();
    thread.Start();
  }
  return 0;
}

TEST_F(ThreadTest, WindowGoesWithItsThreadAndTheNextThreadGetsItsOwn) {
  DWORD firstOwner = 0;
  DWORD otherId = 0;
  HANDLE other = CreateThread(nullptr, 0, MakeAndDropAThreadObject, &firstOwner, 0, &otherId);
  ASSERT_TRUE(WaitFor(other));
  CloseHandle(other);
  EXPECT_EQ(firstOwner, otherId);
  EXPECT_FALSE(TThread::HasHandOverWindow(otherId)) << "the window went with its thread";
  EXPECT_FALSE(TThread::HasHandOverWindow(GetCurrentThreadId()));

  HandingThread thread;
  EXPECT_EQ(thread.HandOverThreadId(), GetCurrentThreadId());
  thread.Start();
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return thread.ranOn() != 0; }));
}

// A thread that makes the first thread object, lets it hand over nothing, and
// ends while the object lives on: hand-overs then have nowhere to go.
struct OrphanScene {
  HandingThread* thread = nullptr;
};

DWORD WINAPI MakeAThreadObjectAndEnd(LPVOID scene) {
  static_cast<OrphanScene*>(scene)->thread = new HandingThread();
  return 0;
}

TEST_F(ThreadTest, HandOverFailsInsteadOfHangingWhenTheHandOverThreadHasEnded) {
  OrphanScene scene;
  HANDLE other = CreateThread(nullptr, 0, MakeAThreadObjectAndEnd, &scene, 0, nullptr);
  ASSERT_TRUE(WaitFor(other));
  CloseHandle(other);
  ASSERT_NE(scene.thread, nullptr);

  Watchdog watchdog(10000, "hand-over to an ended thread");
  scene.thread->Start();
  EXPECT_EQ(scene.thread->WaitForEnd(), 1u);
  EXPECT_EQ(scene.thread->ranOn(), 0u);
  delete scene.thread;
}

TEST_F(ThreadTest, WindowIsRemovedWhenTheLastThreadObjectGoesAndTheRequestIsHandled) {
  {
    IdleThread thread;
    thread.Start();
  }
  // The removal was asked for by a posted message: until a message loop handles
  // it, the window stays.
  EXPECT_TRUE(TThread::HasHandOverWindow(GetCurrentThreadId()));
  DispatchPostedMessages();
  EXPECT_FALSE(TThread::HasHandOverWindow(GetCurrentThreadId()));
}

TEST_F(ThreadTest, WindowStaysWhileAnotherThreadObjectCameBeforeTheRemovalWasHandled) {
  {
    IdleThread first;
    first.Start();
  }
  IdleThread second;  // comes while the removal request waits
  DispatchPostedMessages();
  EXPECT_EQ(second.HandOverThreadId(), GetCurrentThreadId());
  second.Start();
}

}  // namespace
