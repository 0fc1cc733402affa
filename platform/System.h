#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Small operating-system services used across the program. All are thread-safe.

// One line on standard error, where a debugger or the service journal sees it.
void DebugOutput(const std::string& text);

// Absolute path of the running executable, and its directory ("" when unknown).
[[nodiscard]] std::string ExecutablePath();
[[nodiscard]] std::string ExecutableDir();

// Free bytes of the volume holding path, or of its nearest existing parent;
// nothing when the query fails.
[[nodiscard]] std::optional<std::uint64_t> FreeDiskSpace(const std::string& path);

// Whether this process may create files in the directory (false on a read-only
// mount, too).
[[nodiscard]] bool IsWritableDirectory(const std::string& path);

// Whether this process can create files in the directory path, tried for real as the
// server would: the directories missing on the way are made, a probe file is created
// and removed in it, and the directories made are removed again. 0, or the errno of
// the step that failed (ENOTDIR for a path below a regular file). Any thread.
[[nodiscard]] int ProbeWritableDirectory(const std::string& path);

// Makes the directory's entries (a rename into it) durable; false with errno set on
// failure.
[[nodiscard]] bool SyncDirectory(const std::string& path);

// Syncs a test can make fail: CFile::SyncData, and SyncDirectory (CFile::SyncEntry too).
enum class SyncFault { Data, Directory };

// Tests only, for what they cannot cause otherwise (a disk that fails to write): the
// next nCount syncs of that kind fail with nErr without touching the disk; nCount 0
// ends it. The shipped program never calls it. Any thread.
void InjectSyncFault(SyncFault eKind, int nErr, int nCount);

// The error an injected fault gives the sync about to run, consuming it; 0 when none
// is due. For platform/ itself. Any thread.
[[nodiscard]] int TakeSyncFault(SyncFault eKind);

// Renames without replacing an existing target, so that a finished file is never
// overwritten by a rename. 0 or -1 with errno. Any thread.
[[nodiscard]] int RenameNoReplace(const std::string& from, const std::string& to);

// Makes sure a peer that hangs up never ends the process with SIGPIPE.
// Call once at start-up; further calls do nothing.
void IgnoreSigPipe();

// Large blocks (128 KiB and more, a transfer's receive buffer) are mapped on their own
// and given back to the system when freed. Left to itself, the allocator raises that
// bound after the first such block is freed and then keeps a freed buffer in the
// arena of every thread that received a file: memory that grows for hours with the
// threads a server starts. Start-up, before other threads.
void KeepLargeBlocksMapped();

// Milliseconds of a monotonic clock.
[[nodiscard]] std::int64_t MonotonicMs();

// The system's id of the calling thread.
[[nodiscard]] int CurrentThreadId();

// Lets the calling thread run only when nothing else wants the processor
// (SCHED_IDLE, else the weakest nice) and read the disk only when nothing else does
// (the idle I/O class), for background work that must not slow downloads. False
// when the system allowed neither; the thread then runs as before. Any thread.
bool LowerThreadPriority();

// Text of an errno value.
[[nodiscard]] std::string ErrnoText(int nErr);
