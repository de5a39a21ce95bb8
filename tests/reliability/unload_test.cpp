// What the library gives back when it is unloaded after a session: the hand-over
// window and its class, whose window procedure is in the library's code. The
// release DLL's unload itself is exercised by the unload group of
// tests/e2e/run-e2e.sh; here the same step runs on the library linked into the
// test program.
#include <gtest/gtest.h>
#include <windows.h>

#include "port/thread.h"
#include "reliability/zrv_line_fixture.h"

namespace reliability {
namespace {

constexpr char kHandOverClass[] = "KwelmoraHandOverWindow";

bool ClassRegistered() {
  WNDCLASSA windowClass{};
  return GetClassInfoA(GetModuleHandleA(nullptr), kHandOverClass, &windowClass) != FALSE;
}

// Message-only windows of every process are found by class: only this process's
// own count (other test programs may run at the same time).
bool OwnHandOverWindowExists() {
  HWND window = nullptr;
  while ((window = FindWindowExA(HWND_MESSAGE, window, kHandOverClass, nullptr)) != nullptr) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId()) {
      return true;
    }
  }
  return false;
}

class UnloadTest : public ZrvLineTest {};

TEST_F(UnloadTest, ClassGoesAtUnloadAlsoWhenTheHostsLoopRemovedTheWindowBefore) {
  struct Case {
    const char* name;
    bool loopAfterClose;  // the host's message loop runs between the close and the unload
  };
  for (const Case& c : {Case{"window still there at the unload", false},
                        Case{"window removed by the host's message loop", true}}) {
    SCOPED_TRACE(c.name);
    Open();
    ASSERT_TRUE(ClassRegistered());
    ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    if (c.loopAfterClose) {
      DispatchPostedMessages();  // a windowed host's message loop
      ASSERT_FALSE(TThread::HasHandOverWindow(GetCurrentThreadId()))
          << "the posted removal took the window";
    }
    TThread::ReleaseHandOverWindow();  // what unloading the library runs
    EXPECT_FALSE(TThread::HasHandOverWindow(GetCurrentThreadId()));
    EXPECT_FALSE(OwnHandOverWindowExists());
    EXPECT_FALSE(ClassRegistered());
  }
}

}  // namespace
}  // namespace reliability
