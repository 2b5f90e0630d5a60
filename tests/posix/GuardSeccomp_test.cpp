// Where a seccomp policy answers EPERM to the direct copy (as container runtimes may), the
// guard copies through its pipe and still tells good memory from bad. The policy stays with the
// process that installs it, so the case runs in a child.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Isolated.h"
#include "ProtectedPages.h"
#include "platform/Guard.h"

namespace {

// process_vm_readv answers EPERM; every other call is allowed.
bool RefuseDirectCopy() {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

TEST(GuardUnderSeccomp, AnEpermForTheDirectCopySendsCopiesThroughThePipe) {
    const std::string failures = RunIsolated([]() -> std::string {
        ProtectedPages pages;
        if (!pages.ok()) return "no pages";
        if (!RefuseDirectCopy()) return "the seccomp filter could not be installed";
        std::vector<unsigned char> source(3 * 4096 + 17), target(source.size());
        for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<unsigned char>(i * 31 + i / 7);
        std::string failed;
        if (!halvex::platform::GuardedStore(target.data(), source.data(), source.size()) || target != source)
            failed += "a store to good memory failed; ";
        if (halvex::platform::GuardedStore(pages.readOnly(), source.data(), 8)) failed += "a read-only store passed; ";
        std::uint32_t value = 0;
        if (!halvex::platform::GuardedLoad(&value, pages.readOnly(), sizeof value) || value != 0x11111111u)
            failed += "a load from good memory failed; ";
        if (halvex::platform::GuardedLoad(&value, pages.noAccess(), sizeof value)) failed += "a bad load passed; ";
        return failed;
    });
    EXPECT_TRUE(failures.empty()) << failures;
}
