// Runs code that could take the process down where a crash or a hang is a test failure rather
// than the end of the test program. One implementation per platform.
#pragma once

#include <functional>
#include <string>

// Runs `body` and returns what it returned: empty when its checks passed, otherwise what
// failed. On Linux it runs in a child process with a deadline, so a fault or a hang comes back
// as text ("killed by signal 11", "no answer within the deadline"). On Windows it runs in the
// test process: there the guard looks at memory before touching it.
std::string RunIsolated(const std::function<std::string()>& body);
