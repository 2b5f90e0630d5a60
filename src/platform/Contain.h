// Containment of structured exceptions: access violations and exceptions of other runtimes
// (an MSVC C++ throw, a Delphi or .NET exception, RaiseException with any code), which a
// MinGW build's catch (...) never sees. One implementation per platform, picked by the build.
#pragma once

#include <memory>
#include <type_traits>

namespace halvex::platform {

// Calls fn(context). False when a structured exception left it: the frames between the fault
// and this call were unwound without running their C++ destructors (frames of other compilers
// run their own unwind handlers). C++ exceptions of this compiler pass through untouched. Safe
// to nest; costs one plain call when nothing is raised. On Linux a plain call that returns
// true: signals are not caught there.
bool RunContained(void (*fn)(void*), void* context);

// RunContained for a callable.
template <typename Body>
bool RunContainedBody(Body& body) {
    return RunContained([](void* p) { (*static_cast<std::remove_reference_t<Body>*>(p))(); },
                        const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

}  // namespace halvex::platform
