// The debug allocation tracker. Linked into a program (the osmel_tracker object
// library, switched by the CMake option OSMEL_ALLOCATION_TRACKER), it replaces the
// global operator new and operator delete: every live block is recorded with its size,
// its thread and up to 18 frames of the allocating call stack, and when the process
// ends a leak report grouped by allocation site goes to standard error (the debugger
// output stream of the original platform) and to the report callback. As a module's
// own allocator would, it reports on the program's own code only: blocks the shared
// libraries allocate are no leaks of the program, and only the program's own release
// of a block allocated by no one it saw (before the tracker started) writes an
// "unknown memory block" line.
#pragma once

#include <cstddef>

// Receives each report line after it went to standard error.
using TrackerReportCallback = void (*)(const char* line);

// Whether the tracker is linked into this program and tracking.
bool TrackerIsActive();
// Sets the report callback; null for none. Returns false when no tracker is linked in.
bool SetTrackerReportCallback(TrackerReportCallback callback);
// Writes the report of the blocks live now and stops tracking: later allocations and
// releases of every thread go straight to the runtime library. Runs by itself when
// the process ends; calling it earlier makes that a no-op.
void TrackerReport();
