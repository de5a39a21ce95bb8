// TZdarzeniaCommThread: the line-event watcher. While the port is open it waits for
// the port's comm events (line errors, breaks, modem-line changes, received
// characters, an emptied output queue) and hands each reported mask over to the
// port object, whose handler runs on the hand-over thread. It never moves data.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "port/thread.h"

// The nine comm event masks, in the order of the event set's members.
constexpr DWORD CommEventMasks[9] = {
    EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY,
};

// The comm mask for an event set: bit i of `events` selects CommEventMasks[i].
DWORD CommMaskOf(uint16_t events);

class TZdarzeniaCommThread : public TThread {
 public:
  using CommEventHandler = std::function<void(TZdarzeniaCommThread* sender, DWORD eventMask)>;

  // Saves the process priority class in SavedPriorityClass and raises the process
  // to the real-time class, sets the port's comm mask and starts watching.
  TZdarzeniaCommThread(HANDLE portHandle, uint16_t events);
  ~TZdarzeniaCommThread() override;

  // Asks the watcher to end; returns at once.
  void StopWatching();

  // The handler the hand-overs call. Set by the port object right after
  // construction, while the watcher already runs.
  void SetOnCommEvent(CommEventHandler handler);

  HANDLE PortHandle;  // not owned: the port object closes it
  DWORD EventMask;    // written by the driver when a comm-event wait completes
  HANDLE StopEvent;   // manual-reset; owned, closed by destruction

 protected:
  void Run() override;
  // Runs on the hand-over thread only.
  virtual void CallEventHandler();

 private:
  // Hands EventMask over to the handler. False when the watch ends: the stop was
  // asked for, the hand-over failed, or it was dropped at a close (recorded).
  bool HandOverEvent();

  CommEventHandler onCommEvent_;
  SRWLOCK handlerLock_;
};
