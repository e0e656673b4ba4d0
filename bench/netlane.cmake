# Socket channel echo, throughput and ten-thousand-client figures against a
# plain epoll server.
add_executable(netlane_bench ${CMAKE_CURRENT_LIST_DIR}/netlane_bench.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/netlane_baseline.cpp)
target_link_libraries(netlane_bench PRIVATE netlane platform benchmark::benchmark Threads::Threads)
