// The forced unwind a thread's runtime starts to end it (pthread_exit, pthread_cancel, an
// interpreter that shuts down while the thread is in its code). It is not an error: a catch-all
// that swallows it aborts the process, so every catch-all of the library lets it pass first:
//
//     try { ... } catch (...) { if (platform::ForcedUnwinding()) throw; ... }
//
// Asked of the runtime rather than caught by type: the runtime's forced-unwind "object" is no
// object, and binding a reference to it is undefined (the sanitizers say so).
#pragma once

#include <exception>

namespace halvex::platform {

// Inside a catch (...): true when what is being caught is no C++ exception of this runtime, a
// forced unwind above all (another language's exception is passed on the same way).
inline bool ForcedUnwinding() noexcept { return !std::current_exception(); }

}  // namespace halvex::platform
