// Whether this process is a child that fork() made from a process with the library loaded.
//
// Such a child has only the thread that forked: the library's threads, and any lock one of them
// held at that moment, stayed behind in the parent. So the library does nothing there (the rule
// is in halvex.h). Windows has no fork; its answer is always false.
#pragma once

namespace halvex::platform {

bool InForkedChild() noexcept;

// Marks a child that fork() makes as such. The load entry calls it before start-up creates the
// first thread; once is enough, more is harmless.
void WatchForFork() noexcept;

// For a test program that forks to isolate a case that may crash, at a moment no library
// thread runs: the child uses the library as its parent did.
void TreatForkedChildAsOwnProcessForTests() noexcept;

}  // namespace halvex::platform
