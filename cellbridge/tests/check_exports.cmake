# Fails unless `nm -D --defined-only` of LIBRARY lists exactly the library's
# exported functions.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected VX_BeginPhoneTest VX_CreateSession VX_DestroySession VX_EndPhoneTest
             VX_EnterModeProcess VX_FastWriteNvInfo VX_GetUsbPort VX_NvWriteDirect
             VX_ReadNvItem VX_SessionBeginPhoneTest VX_SessionEndPhoneTest
             VX_SessionEnterModeProcess VX_SessionFastWriteNvInfo VX_SessionGetUsbPort
             VX_SessionNvWriteDirect VX_SessionReadNvItem VX_SessionSetNewHandsetOnly
             VX_SessionStopModeProcess VX_StopModeProcess)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports: ${names}\nexpected: ${expected}")
endif()
