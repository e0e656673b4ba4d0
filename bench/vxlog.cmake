# The channel log (lines and hex dumps) against spdlog writing the same
# content to a file, flushed per call and buffered.
find_package(spdlog REQUIRED)
add_executable(vxlog_bench ${CMAKE_CURRENT_LIST_DIR}/vxlog_bench.cpp)
target_link_libraries(vxlog_bench PRIVATE cordlink_vxlog platform benchmark::benchmark
                      spdlog::spdlog)
