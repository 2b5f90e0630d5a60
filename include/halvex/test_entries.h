/*
 * The library's life cycle, for tests: runs the library's start-up (as at load) or its unload
 * (as at unload) in this process. A test may detach and start again any number of times, with a
 * different simulated bus each time. In a forked child both do nothing, as the exports do there.
 *
 * Usable from C and C++. Exported from libhalvex.so (the simulated boards' build), not from the
 * release Halvex.dll. halvex/sim_c.h offers the same as HXSIM_LibraryStart and
 * HXSIM_LibraryDetach, which return a code as its other functions do.
 */
#ifndef HALVEX_TEST_ENTRIES_H
#define HALVEX_TEST_ENTRIES_H

#if defined(_WIN32)
#define HALVEX_TEST_API
#else
#define HALVEX_TEST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

HALVEX_TEST_API void HxTestLibraryStart(void);
HALVEX_TEST_API void HxTestLibraryDetach(void);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_TEST_ENTRIES_H */
