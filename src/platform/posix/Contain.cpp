#include "platform/Contain.h"

namespace halvex::platform {

// Faults through caller pointers are the guard's business here; a signal is not an exception.
bool RunContained(void (*fn)(void*), void* context) {
    fn(context);
    return true;
}

}  // namespace halvex::platform
