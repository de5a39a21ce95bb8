// An open port with no transfer costs nothing: the worker and the watcher sleep in
// their waits, with no polling and no periodic wake-up, while the host waits.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "library/library_state.h"
#include "port/comm.h"
#include "port/comm_event_thread.h"
#include "port/transfer_thread.h"
#include "reliability/thread_activity.h"
#include "reliability/zrv_line_fixture.h"

namespace reliability {
namespace {

constexpr DWORD kIdleMs = 2000;
// Wine counts thread time in ticks of 10 ms. A thread that wakes every
// millisecond spends several ticks in two seconds; one asleep spends none.
constexpr ULONGLONG kCpuBound100ns = 100000;  // 10 ms
// Switches a sleeping thread may still see (a signal from the system); a thread
// that wakes periodically makes one or more at every wake-up.
constexpr unsigned long long kSwitchBound = 2;

class IdleCostTest : public ZrvLineTest {};

TEST_F(IdleCostTest, TheLibrarysThreadsSleepWhileThePortIsOpenAndIdle) {
  Open();
  unsigned char status = 0;
  ASSERT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
  ASSERT_TRUE(Settle());

  TComm* port = CommSlots[ActiveSlot];
  struct Watched {
    const char* name;
    HANDLE thread;
    std::string task;
    ThreadActivity before;
  };
  Watched threads[] = {
      {"kwworker", port->Worker->ThreadHandle(), "", {}},
      {"kwwatcher", port->Watcher->ThreadHandle(), "", {}},
  };
  // Under Wine the threads' Linux tasks give their context switches, which catch a
  // periodic wake-up that uses too little CPU to show; elsewhere only CPU time is
  // measured.
  const bool underWine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  for (Watched& watched : threads) {
    watched.task = FindLinuxTask(watched.thread, watched.name);
    if (underWine) {
      ASSERT_FALSE(watched.task.empty()) << "no Linux task named " << watched.name;
    }
  }

  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const ULONGLONG processBefore = FileTimeValue(kernel) + FileTimeValue(user);
  for (Watched& watched : threads) {
    watched.before = MeasureThread(watched.thread, watched.task);
  }

  // The host idles for the interval measured.
  Sleep(kIdleMs);

  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const ULONGLONG processAfter = FileTimeValue(kernel) + FileTimeValue(user);
  std::printf("idle %lu ms, port open: process CPU %.1f ms\n", kIdleMs,
              static_cast<double>(processAfter - processBefore) / 1e4);
  for (Watched& watched : threads) {
    const ThreadActivity after = MeasureThread(watched.thread, watched.task);
    const ULONGLONG cpu = after.cpu100ns - watched.before.cpu100ns;
    std::printf("  %-9s CPU %.1f ms", watched.name, static_cast<double>(cpu) / 1e4);
    EXPECT_LE(cpu, kCpuBound100ns) << watched.name;
    if (underWine) {
      EXPECT_TRUE(after.switchesKnown && watched.before.switchesKnown) << watched.name;
    }
    if (after.switchesKnown && watched.before.switchesKnown) {
      const unsigned long long voluntary =
          after.voluntarySwitches - watched.before.voluntarySwitches;
      const unsigned long long involuntary =
          after.involuntarySwitches - watched.before.involuntarySwitches;
      std::printf(", context switches %llu voluntary, %llu involuntary (%s)\n", voluntary,
                  involuntary, watched.task.c_str());
      EXPECT_LE(voluntary + involuntary, kSwitchBound) << watched.name;
    } else {
      std::printf(", context switches not available\n");
    }
  }
  // Still alive and well: the idle port answers at once.
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
}

}  // namespace
}  // namespace reliability
