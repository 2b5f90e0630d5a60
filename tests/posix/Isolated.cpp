#include "Isolated.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>

#include "Await.h"
#include "ChildProcess.h"
#include "platform/ForkedChild.h"

namespace {

constexpr std::chrono::milliseconds kDeadline = std::chrono::seconds(20);
constexpr std::size_t kMaxReport = 4000;  // well inside a pipe, so the child never blocks on it

std::string ReadAll(int fd) {
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

// Until every other thread of this process sleeps, or the guard passes. A thread that runs at
// the fork may hold a lock of the runtime's (the address sanitizer's allocator is not fork-safe)
// that the child, which goes on to start threads and allocate, would then never get.
void AwaitOtherThreadsAsleep(std::chrono::milliseconds guard) {
    const std::string self = std::to_string(static_cast<long>(gettid()));
    AwaitTrue([&] {
        DIR* tasks = opendir("/proc/self/task");
        if (tasks == nullptr) return true;
        bool asleep = true;
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.' || self == entry->d_name) continue;
            std::ifstream stat(std::string("/proc/self/task/") + entry->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            // The state follows the name, which is in parentheses and may hold spaces.
            const std::size_t close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'S') asleep = false;
        }
        closedir(tasks);
        return asleep;
    }, guard);
}

}  // namespace

std::string RunIsolated(const std::function<std::string()>& body) {
    int report[2];
    if (pipe(report) != 0) return "no pipe for the child's report";
    AwaitOtherThreadsAsleep(std::chrono::seconds(2));
    const int result = RunInChild(
        [&] {
            close(report[0]);
            // No stream runs here, so the child can go on using the library it inherited.
            halvex::platform::TreatForkedChildAsOwnProcessForTests();
            std::string failures;
            try {
                failures = body();
            } catch (...) {
                failures = "an exception left the body";
            }
            failures.resize(std::min(failures.size(), kMaxReport));
            if (!failures.empty() && write(report[1], failures.data(), failures.size()) < 0) return 2;
            return failures.empty() ? 0 : 1;
        },
        kDeadline);
    close(report[1]);
    std::string text = ReadAll(report[0]);
    close(report[0]);
    if (result == kChildTimedOut) return "no answer within the deadline";
    if (result > 128) return text + "killed by signal " + std::to_string(result - 128);
    if (result != 0) return text.empty() ? "the child failed without a report" : text;
    return {};
}
