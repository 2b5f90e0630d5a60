// Cases that may hang or crash run in a child process with a deadline. The child is this test
// program again, running one disabled test that reads which case to run from its environment.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

inline constexpr int kChildTimedOut = -1;

// Linux: the one way a test runs code in a child process. Forks, runs `body` in the child (its
// result is the child's exit code; a body may also end the process its own way) and waits for
// the child until `deadline`. Past it, calls `onTimeout` with the child's pid, kills the child
// and answers kChildTimedOut; otherwise the exit code, or 128 + the signal that ended the child.
int RunInChild(const std::function<int()>& body, std::chrono::milliseconds deadline,
               const std::function<void(int pid)>& onTimeout = {});

// Runs `test` (the full name of a DISABLED_ test) in a child with HALVEX_CHILD_CASE=`caseName`.
// Returns the child's exit code, or kChildTimedOut when it outlived `deadlineMs` and was killed.
int RunChildCase(const std::string& test, const std::string& caseName, unsigned deadlineMs);

// In a child, the case it was started for; empty in the parent.
std::string ChildCaseName();

// Handles the process holds open right now: the Win32 layer's table on Linux.
std::size_t OpenHandleCount();
