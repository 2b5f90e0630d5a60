// The forced unwind a thread's runtime starts to end it (pthread_exit, pthread_cancel, an
// interpreter that shuts down while the thread is in its code). It is not an error: a catch-all
// that swallows it aborts the process, so every catch-all of the library lets it pass first:
//
//     try { ... } catch (const platform::ForcedUnwind&) { throw; } catch (...) { ... }
//
// On Windows nothing raises it; the type is there so the same code compiles.
#pragma once

#include <cxxabi.h>

namespace halvex::platform {

using ForcedUnwind = abi::__forced_unwind;

}  // namespace halvex::platform
