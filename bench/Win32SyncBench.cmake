# The Linux Win32 layer's waits and signals on their own, against the layer alone.
add_executable(halvex_win32_bench ${CMAKE_CURRENT_LIST_DIR}/Win32SyncBench.cpp)
target_link_libraries(halvex_win32_bench PRIVATE halvex_win32 halvex_build_options benchmark::benchmark)
