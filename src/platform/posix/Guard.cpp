// Caller-pointer guard on Linux: the kernel copies through the caller's pointer for us and
// reports EFAULT where the application would have taken a fault. The copy is one
// process_vm_readv on the process itself where the kernel allows it (a seccomp policy may not);
// otherwise each thread keeps a pipe: a load writes the caller's bytes into it and reads them
// back, a store writes our bytes and reads them out into the caller's memory, a page at a time.
// Needs no privileges and no signal handler.
#include "platform/Guard.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "Populate.h"

namespace halvex::platform {
namespace {

// Stays within what any pipe holds, even one the kernel shrank because the user has many pipes.
constexpr std::size_t kChunk = 4096;
constexpr std::uintptr_t kProbeStride = 4096;  // no larger than any page size

class GuardPipe {
public:
    GuardPipe() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~GuardPipe() {
        if (ok()) {
            close(fds_[0]);
            close(fds_[1]);
        }
    }
    GuardPipe(const GuardPipe&) = delete;
    GuardPipe& operator=(const GuardPipe&) = delete;

    bool ok() const { return fds_[0] >= 0; }

    // Bytes the kernel could read from `src`; negative when not even the first one.
    ssize_t Put(const void* src, std::size_t size) {
        ssize_t n;
        do n = write(fds_[1], src, size);
        while (n < 0 && errno == EINTR);
        return n;
    }

    // Bytes the kernel could store to `dst`; negative when not even the first one.
    ssize_t Take(void* dst, std::size_t size) {
        ssize_t n;
        do n = read(fds_[0], dst, size);
        while (n < 0 && errno == EINTR);
        return n;
    }

    // Empties the pipe after a store that faulted left bytes in it.
    void Drain() {
        char scratch[kChunk];
        while (Take(scratch, sizeof scratch) > 0) {
        }
    }

private:
    int fds_[2];
};

GuardPipe& ThreadPipe() {
    thread_local GuardPipe pipe;
    return pipe;
}

}  // namespace

namespace {

// 1 while the direct copy works, 0 once the kernel refused it (or a test turned it off).
std::atomic<int> gDirectCopy{1};

enum class Direct { Copied, Faulted, Unavailable };

// This process's id, asked once and forgotten in a child that fork() makes, where the
// remembered one would name the parent.
std::atomic<pid_t> gSelf{0};

void ForgetSelf() { gSelf.store(0, std::memory_order_relaxed); }

pid_t Self() {
    pid_t self = gSelf.load(std::memory_order_relaxed);
    if (self == 0) {
        [[maybe_unused]] static const int watching = pthread_atfork(nullptr, nullptr, ForgetSelf);
        self = getpid();
        gSelf.store(self, std::memory_order_relaxed);
    }
    return self;
}

// One system call for the whole range.
Direct CopyDirect(void* dst, const void* src, std::size_t size) {
    if (gDirectCopy.load(std::memory_order_relaxed) == 0) return Direct::Unavailable;
    iovec local{dst, size};
    iovec remote{const_cast<void*>(src), size};
    ssize_t n;
    do n = process_vm_readv(Self(), &local, 1, &remote, 1, 0);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(size)) return Direct::Copied;
    if (n < 0 && (errno == ENOSYS || errno == EPERM || errno == EACCES)) {
        gDirectCopy.store(0, std::memory_order_relaxed);
        return Direct::Unavailable;
    }
    return Direct::Faulted;
}

// Loads and stores are the same copy, seen from either end.
bool CopyThroughKernel(void* dst, const void* src, std::size_t size) {
    if (src == nullptr || dst == nullptr) return false;
    if (size == 0) return true;
    if (const Direct direct = CopyDirect(dst, src, size); direct != Direct::Unavailable)
        return direct == Direct::Copied;
    GuardPipe& pipe = ThreadPipe();
    if (!pipe.ok()) return false;
    auto* out = static_cast<char*>(dst);
    const auto* in = static_cast<const char*>(src);
    std::size_t done = 0;
    while (done < size) {
        const std::size_t chunk = size - done < kChunk ? size - done : kChunk;
        const ssize_t put = pipe.Put(in + done, chunk);
        if (put <= 0) return false;
        if (pipe.Take(out + done, static_cast<std::size_t>(put)) != put) {
            pipe.Drain();
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// The calling thread's own stack, from the frame of the function asking up to its top, is
// mapped and writable for as long as that frame lives: memory there needs no kernel copy. The
// bounds are asked once per thread; a thread whose bounds cannot be asked, or that runs on
// another stack (a signal stack, a fiber), always takes the kernel's copy.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    bool asked = false;
};

thread_local StackBounds tStack;

__attribute__((noinline)) bool OnLiveStack(const void* p, std::size_t size) noexcept {
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    StackBounds& stack = tStack;
    if (!stack.asked) {
        stack.asked = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            std::size_t bytes = 0;
            if (pthread_attr_getstack(&attr, &low, &bytes) == 0) {
                stack.low = reinterpret_cast<std::uintptr_t>(low);
                stack.high = stack.low + bytes;
            }
            pthread_attr_destroy(&attr);
        }
    }
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    return stack.low <= frame && frame <= first && first <= stack.high && size <= stack.high - first;
}

}  // namespace

bool GuardedLoad(void* dst, const void* src, std::size_t size) {
    if (src != nullptr && dst != nullptr && OnLiveStack(src, size)) {
        std::memcpy(dst, src, size);
        return true;
    }
    return CopyThroughKernel(dst, src, size);
}

void UseGuardPipeOnlyForTests(bool pipeOnly) noexcept { gDirectCopy.store(pipeOnly ? 0 : 1); }

bool GuardedStore(void* dst, const void* src, std::size_t size) {
    if (src != nullptr && dst != nullptr && OnLiveStack(dst, size)) {
        std::memcpy(dst, src, size);
        return true;
    }
    return CopyThroughKernel(dst, src, size);
}

bool CanStore(void* p, std::size_t size) {
    if (p == nullptr) return false;
    if (size == 0) return true;
    if (OnLiveStack(p, size)) return true;
    const auto first = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t last = first + size - 1;
    if (last < first) return false;
    // Several pages in one system call where the kernel can tell; what it refuses with EINVAL
    // (read-only or special mappings, old kernels) the page probes decide.
    if (first / kProbeStride != last / kProbeStride) {
        const int error = PopulateWritable(p, size);
        if (error == 0) return true;
        if (error == ENOMEM || error == EFAULT) return false;
    }
    // One probe per page: an atomic add of zero through the futex call faults exactly where a
    // store would, and cannot lose a value another thread writes there meanwhile.
    int key = 0;
    constexpr int kAddZero = FUTEX_OP(FUTEX_OP_ADD, 0, FUTEX_OP_CMP_EQ, 0);
    for (std::uintptr_t page = first & ~(kProbeStride - 1); page <= last; page += kProbeStride) {
        const std::uintptr_t probe = (page < first ? first : page) & ~std::uintptr_t{3};
        const long result = syscall(SYS_futex, &key, FUTEX_WAKE_OP | FUTEX_PRIVATE_FLAG, 0, nullptr,
                                    reinterpret_cast<std::uint32_t*>(probe), kAddZero);
        if (result < 0) return false;
        if (page + kProbeStride < page) break;  // the range ends at the top of the address space
    }
    return true;
}

}  // namespace halvex::platform
