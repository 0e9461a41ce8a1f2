# Fails when quorvel.exe imports any DLL but the system's own: a run-time
# library in the import table means the program depends on files that a
# plain Windows installation does not have.
set(ALLOWED kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll advapi32.dll version.dll)
# EXTRA_ALLOWED: further system DLLs one program may import, comma-separated
# (quorvel-cli's C run time is the system's msvcrt.dll).
if(EXTRA_ALLOWED)
  string(REPLACE "," ";" extra "${EXTRA_ALLOWED}")
  list(APPEND ALLOWED ${extra})
endif()
get_filename_component(program_name "${PROGRAM}" NAME)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump failed on ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(line ${names})
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  list(FIND ALLOWED "${dll}" index)
  if(index EQUAL -1)
    message(FATAL_ERROR "${program_name} imports ${dll}, which is not a system DLL")
  endif()
  message(STATUS "imports ${dll}")
endforeach()
