// Where the test program finds the built shared library, for tests that load it as an
// application does.
#pragma once

#include <unistd.h>

#include <string>

inline std::string SharedLibraryPath() {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string path(exe, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/'));  // .../tests
    path = path.substr(0, path.rfind('/'));  // the build directory
    return path + "/libhalvex.so";
}
