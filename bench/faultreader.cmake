# Error-text lookups through the parser object against direct prepared
# SQLite queries, and CSV import against the sqlite3 shell's .import.
find_package(SQLite3 REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(faultreader_bench ${CMAKE_CURRENT_LIST_DIR}/faultreader_bench.cpp)
target_link_libraries(faultreader_bench PRIVATE faultreader_core platform SQLite::SQLite3
                      benchmark::benchmark Threads::Threads)
target_compile_definitions(faultreader_bench PRIVATE
                           FAULTREADER_SAMPLE_DB="${FAULTREADER_SAMPLE_DB}")
add_dependencies(faultreader_bench faultreader_sample_db)
