# Checks the Windows program file: a console program that imports nothing
# but system DLLs (KERNEL32.dll and msvcrt.dll, and SETUPAPI.dll with
# ADVAPI32.dll for the device list), so that it runs on a bare Windows
# without runtime DLLs beside it, with version information naming it and
# its version.
#
#   cmake -DPROGRAM=quillfind.exe -DOBJDUMP=... -DWINDRES=... -DVERSION=1.06 -P check_exe.cmake
foreach(variable PROGRAM OBJDUMP WINDRES VERSION)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(failures "")

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${status})")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(SORT imports CASE INSENSITIVE)
set(allowed "ADVAPI32.dll;KERNEL32.dll;msvcrt.dll;SETUPAPI.dll")
if(NOT imports STREQUAL allowed)
  string(APPEND failures "imports are [${imports}], not [${allowed}]\n")
endif()
if(NOT headers MATCHES "Subsystem[\t ]+0*3[\t ]+\\(Windows CUI\\)")
  string(APPEND failures "not a console program\n")
endif()

# windres reads the resources of a PE file back as resource script text.
execute_process(COMMAND ${WINDRES} -J coff -O rc -i ${PROGRAM} OUTPUT_VARIABLE resources RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  string(APPEND failures "${WINDRES} could not read its resources (${status})\n")
endif()
if(NOT VERSION MATCHES "^([0-9]+)\\.0*([0-9]+)$")
  message(FATAL_ERROR "VERSION ${VERSION} is not of the form MAJOR.MINOR")
endif()
set(numeric "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, 0, 0")
foreach(wanted
    "VERSIONINFO"
    "FILEVERSION ${numeric}"
    "PRODUCTVERSION ${numeric}"
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"OriginalFilename\", \"quillfind.exe\""
    "VALUE \"InternalName\", \"quillfind\"")
  string(FIND "${resources}" "${wanted}" at)
  if(at EQUAL -1)
    string(APPEND failures "version information lacks: ${wanted}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${PROGRAM}:\n${failures}")
endif()
message(STATUS "${PROGRAM}: imports ${imports}; version ${VERSION}")
