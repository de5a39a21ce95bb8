// The threads a trace line can come from, so that each line says whose it is:
// the host's thread that opened the port, the byte transfer worker, the line-event
// watcher, or any other thread by its id. Written and read by any thread without
// a lock: each entry is a single thread id.
#pragma once

#include <windows.h>

#include <cstddef>

enum class TraceThread { Host, Worker, Watcher };

void SetTraceThread(TraceThread role, DWORD threadId);

// The tag of thread `threadId` ("host", "worker", "watcher", or "t" and the id),
// at most `size` - 1 characters and a NUL.
void TraceThreadTag(DWORD threadId, char* tag, std::size_t size);
