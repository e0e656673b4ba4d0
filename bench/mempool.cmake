# The channel library's memory pool against glibc malloc, for receive-sized
# blocks, on one thread and handed from an allocating to a freeing thread.
add_executable(mempool_bench ${CMAKE_CURRENT_LIST_DIR}/mempool_bench.cpp)
target_link_libraries(mempool_bench PRIVATE cordlink_mempool platform benchmark::benchmark
                      Threads::Threads)
