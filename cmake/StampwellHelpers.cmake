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

# stampwell_add_test(<name> SOURCES <files>... LIBS <targets>... [LOCK <resource>])
# One GoogleTest binary per component, registered with CTest, labelled <name>, with the
# platform's test-only seam (platform_testing/fault_injection.h) in reach. Tests that
# share files beside their executable (Channel.ini, ChannelLog) name a LOCK
# so that CTest never runs two of them at once.
function(stampwell_add_test name)
  cmake_parse_arguments(T "" "LOCK" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} platform_testing GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  # Each test carries its binary's name as a label (ctest -L platform_tests).
  set(props TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${name})
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# stampwell_install_pkgconfig(<name> <description> <libs> <cflags> [<requires>])
# Writes and installs <name>.pc so a host outside this repository can build
# against the installed library with pkg-config. No language standard is
# forced on hosts: the headers build with the compiler's default C++ (17 on
# g++ 12) and later.
function(stampwell_install_pkgconfig name description libs cflags)
  set(requires "")
  if(ARGC GREATER 4)
    set(requires "Requires: ${ARGV4}\n")
  endif()
  set(pc "${CMAKE_CURRENT_BINARY_DIR}/${name}.pc")
  # The prefix is found from the .pc file's own place, so an install under
  # any --prefix works without editing the file.
  file(RELATIVE_PATH PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  file(WRITE "${pc}.in"
"prefix=\${pcfiledir}/@PC_TO_PREFIX@
libdir=\${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=\${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: ${name}
Description: ${description}
Version: @PROJECT_VERSION@
${requires}Libs: -L\${libdir} -Wl,-rpath,\${libdir} ${libs}
Cflags: ${cflags}
")
  configure_file("${pc}.in" "${pc}" @ONLY)
  install(FILES "${pc}" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
