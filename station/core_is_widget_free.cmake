# Stops the build when a file of the station's core (CORE_DIR) includes a Qt
# header or a header of the windows (WINDOWS_DIR): the core is what the batch
# mode and the tests run without a display, and the windows build on it, never
# the other way. Touches STAMP when the core is clean.
#   cmake -DCORE_DIR=... -DWINDOWS_DIR=... [-DSTAMP=...] -P core_is_widget_free.cmake
file(GLOB core_files ${CORE_DIR}/*.h ${CORE_DIR}/*.cpp)
file(GLOB window_headers RELATIVE ${WINDOWS_DIR} ${WINDOWS_DIR}/*.h)
# <QString>, <QtCore/qstring.h>, <qstring.h>, <qt6/...>
set(qt_header "^[ \t]*#[ \t]*include[ \t]*[<\"](Q|Qt[A-Za-z]*/|qt6?/|q[a-z0-9_]*\\.h[>\"])")
set(offences "")
foreach(path IN LISTS core_files)
  file(STRINGS ${path} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS includes)
    set(bad FALSE)
    if(line MATCHES "${qt_header}")
      set(bad TRUE)
    endif()
    foreach(header IN LISTS window_headers)
      string(REPLACE "." "\\." header_regex "${header}")
      if(line MATCHES "[<\"/]${header_regex}[>\"]")
        set(bad TRUE)
      endif()
    endforeach()
    if(bad)
      string(APPEND offences "\n  ${path}: ${line}")
    endif()
  endforeach()
endforeach()
if(offences)
  message(FATAL_ERROR "the station's core includes a Qt or window header:${offences}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
