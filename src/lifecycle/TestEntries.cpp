// Test entries: the library's own start-up and unload, any number of times in one process, under
// both the names of halvex/test_entries.h and the simulator's C interface. In a forked child they
// do nothing, as the exports do: the threads a detach would wait for are not there.
#include <halvex/sim_c.h>
#include <halvex/test_entries.h>

#include "lifecycle/Lifecycle.h"
#include "platform/Contain.h"
#include "platform/ForcedUnwind.h"
#include "platform/ForkedChild.h"

#if defined(HALVEX_SIM_BACKEND)
namespace {

// The caller's last error is kept, as every HXSIM_ function keeps it.
template <typename Body>
DWORD TestEntry(Body&& body) {
    const DWORD lastError = GetLastError();
    DWORD result = ERROR_SUCCESS;
    auto guarded = [&] {
        try {
            if (!halvex::platform::InForkedChild()) body();
        } catch (...) {
            if (halvex::platform::ForcedUnwinding()) throw;
            result = ERROR_INTERNAL_ERROR;
        }
    };
    if (!halvex::platform::RunContainedBody(guarded)) result = ERROR_INTERNAL_ERROR;
    SetLastError(lastError);
    return result;
}

}  // namespace
#endif

extern "C" HALVEX_TEST_API void HxTestLibraryStart(void) {
    if (!halvex::platform::InForkedChild()) halvex::StartAtLoad();
}

extern "C" HALVEX_TEST_API void HxTestLibraryDetach(void) {
    if (!halvex::platform::InForkedChild()) halvex::DetachAtUnload(false);
}

// The simulator's names, where the simulator is the backend.
#if defined(HALVEX_SIM_BACKEND)
extern "C" HALVEX_SIM_C_API DWORD HXSIM_LibraryStart(void) {
    return TestEntry([] { halvex::StartAtLoad(); });
}

extern "C" HALVEX_SIM_C_API DWORD HXSIM_LibraryDetach(void) {
    return TestEntry([] { halvex::DetachAtUnload(false); });
}
#endif
