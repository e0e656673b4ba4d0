# The station's number ledger: a widget-free SQLite record of write jobs
# (station/src/number_ledger.*), a static library the station program and its
# tests link.
find_package(SQLite3 REQUIRED)

add_library(station_ledger STATIC ${CMAKE_CURRENT_LIST_DIR}/src/number_ledger.cpp)
set_target_properties(station_ledger PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(station_ledger PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(station_ledger PUBLIC SQLite::SQLite3 PRIVATE platform)

if(STAMPWELL_BUILD_TESTS)
  # The sqlite3 shell is the tests' foreign peer: it reads the rows back and
  # holds locks on the file while the ledger writes.
  find_program(STAMPWELL_SQLITE3_SHELL sqlite3)
  stampwell_add_test(station_ledger_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/number_ledger_test.cpp
    LIBS station_ledger platform)
  target_include_directories(station_ledger_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/tests)
  target_compile_definitions(station_ledger_tests PRIVATE
    SQLITE3_SHELL="${STAMPWELL_SQLITE3_SHELL}")
endif()
