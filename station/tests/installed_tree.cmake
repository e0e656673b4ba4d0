# An installed station (and its line's tool) keeps working when its tree is copied elsewhere: the
# program finds its libraries relative to itself (and its settings beside it).
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -P installed_tree.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/first"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
file(COPY "${WORK_DIR}/first/" DESTINATION "${WORK_DIR}/moved")
file(REMOVE_RECURSE "${WORK_DIR}/first")
execute_process(COMMAND "${WORK_DIR}/moved/bin/stampwell" --help
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "--batch N")
  message(FATAL_ERROR "the moved stampwell did not start: ${rc} ${out} ${err}")
endif()
execute_process(COMMAND "${WORK_DIR}/moved/bin/stampwell-pool" --help
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "add-range NAME FIRST COUNT")
  message(FATAL_ERROR "the moved stampwell-pool did not start: ${rc} ${out} ${err}")
endif()
execute_process(COMMAND ldd "${WORK_DIR}/moved/bin/stampwell" OUTPUT_VARIABLE libs)
if(NOT libs MATCHES "${WORK_DIR}/moved/bin/../lib/libcellbridge.so" AND
   NOT libs MATCHES "${WORK_DIR}/moved/lib/libcellbridge.so")
  message(FATAL_ERROR "libcellbridge does not come from the moved tree:\n${libs}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "the moved tree runs: 1 passed, 0 failed")
