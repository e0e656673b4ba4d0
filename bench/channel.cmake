# Serial channel throughput and latency against a plain poll()+read() loop.
add_executable(channel_bench ${CMAKE_CURRENT_LIST_DIR}/channel_bench.cpp)
target_link_libraries(channel_bench PRIVATE cordlink platform benchmark::benchmark Threads::Threads)
