#include "Isolated.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "Await.h"
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

}  // namespace

std::string RunIsolated(const std::function<std::string()>& body) {
    int report[2];
    if (pipe(report) != 0) return "no pipe for the child's report";
    const pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return "fork failed";
    }
    if (child == 0) {
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
        if (!failures.empty() && write(report[1], failures.data(), failures.size()) < 0) _exit(2);
        _exit(failures.empty() ? 0 : 1);
    }
    close(report[1]);

    int status = 0;
    pid_t ended = 0;
    if (!AwaitTrue([&] { return (ended = waitpid(child, &status, WNOHANG)) != 0; }, kDeadline)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        close(report[0]);
        return "no answer within the deadline";
    }
    std::string text = ReadAll(report[0]);
    close(report[0]);
    if (WIFSIGNALED(status)) return text + "killed by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return text.empty() ? "the child failed without a report" : text;
    return {};
}
