# The station's own time per handset (batch mode) against a minimal program
# that makes the same Cellbridge calls, both against the simulator; the
# station with its SQLite record and with the line's server.
add_executable(station_bench ${CMAKE_CURRENT_LIST_DIR}/station_bench.cpp)
target_link_libraries(station_bench PRIVATE station_core cellbridge cellbridge_sim platform
                      benchmark::benchmark Threads::Threads)
target_include_directories(station_bench PRIVATE ${PROJECT_SOURCE_DIR}/platform/tests
                                                 ${PROJECT_SOURCE_DIR}/station/tests)
target_compile_definitions(station_bench PRIVATE
  STAMPWELL_PATH="$<TARGET_FILE:stampwell>"
  PG_TEST_SERVER_SCRIPT="${PROJECT_SOURCE_DIR}/station/tests/pg/pg_test_server.sh"
  STATION_LIBDIRS="$<TARGET_FILE_DIR:platform>:$<TARGET_FILE_DIR:cellbridge>:$<TARGET_FILE_DIR:cordlink>")
add_dependencies(station_bench stampwell)
