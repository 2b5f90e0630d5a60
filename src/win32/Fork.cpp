// fork() in a process that uses the layer.
//
// The child gets a copy of every lock as it was at that instant, but none of the threads that
// might have held one. The layer's own locks are therefore taken around the fork, so the child
// finds them free and the objects they guard consistent, and can go on using events, waits and
// handles.
#include <pthread.h>

#include "Kernel.h"

namespace halvex::win32 {
namespace {

// Lock order: the registry lock is never held while taking the objects' locks or the other
// way round, so either order is free of deadlock; this one is kept everywhere here.
void BeforeFork() {
    RegistryLock().lock();
    LockObjectsForFork();
}

void AfterForkInParent() {
    UnlockObjectsInParent();
    RegistryLock().unlock();
}

void AfterForkInChild() {
    UnlockObjectsInChild();
    RegistryLock().unlock();
}

// At load, before any thread of the layer exists.
[[maybe_unused]] const int gAtForkRegistered = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);

}  // namespace
}  // namespace halvex::win32
