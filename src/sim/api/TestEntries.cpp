// Test entries: the library's own start-up and unload, any number of times in one process. In
// a forked child they do nothing, as the exports do: the threads a detach would wait for are
// not there.
#include <halvex/sim.h>

#include "lifecycle/Lifecycle.h"
#include "platform/ForkedChild.h"

extern "C" HALVEX_SIM_API void HxTestLibraryStart(void) {
    if (!halvex::platform::InForkedChild()) halvex::StartAtLoad();
}

extern "C" HALVEX_SIM_API void HxTestLibraryDetach(void) {
    if (!halvex::platform::InForkedChild()) halvex::DetachAtUnload(false);
}
