# Jobs recorded per second on the line's server by concurrent stations'
# records, against pgbench running the same statements.
add_executable(line_bench ${CMAKE_CURRENT_LIST_DIR}/line_bench.cpp)
target_link_libraries(line_bench PRIVATE station_core platform benchmark::benchmark
                      Threads::Threads)
target_compile_definitions(line_bench PRIVATE
  PG_TEST_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/station/tests/pg/pg_test_server.sh")
target_include_directories(line_bench PRIVATE ${PROJECT_SOURCE_DIR}/station/tests)
