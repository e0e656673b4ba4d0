# stampwell_export_only(<target> <symbol>...)
# Restricts a shared library's dynamic symbol table to the named functions, so
# that `nm -D --defined-only` lists exactly the deliverable's exports (template
# instantiations from the standard library would otherwise leak out).
function(stampwell_export_only target)
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map")
  set(body "{\n  global:\n")
  foreach(sym IN LISTS ARGN)
    string(APPEND body "    ${sym};\n")
  endforeach()
  string(APPEND body "  local:\n    *;\n};\n")
  file(WRITE "${map}" "${body}")
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${map}")
endfunction()

# stampwell_add_test(<name> SOURCES <files>... LIBS <targets>...)
# One GoogleTest binary per component, registered with CTest.
function(stampwell_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
