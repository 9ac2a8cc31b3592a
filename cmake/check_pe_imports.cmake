# Fails when a Windows executable imports a DLL that Windows does not ship, such as the MinGW
# runtime (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll): such a program would not
# start on a machine without those DLLs beside it. Fails too when it imports one of the DPI
# functions that came after Windows 7 (GetDpiForWindow and its kin, Windows 10): the program
# says in its manifest that it runs on Windows 7, where it would not start, so it must look them
# up when it runs instead.
#   cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DPE=program.exe -P check_pe_imports.cmake
cmake_policy(VERSION 3.25)

if(NOT OBJDUMP OR NOT PE)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=<objdump> -DPE=<file.exe> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

# DLLs every Windows installation has (lower case).
set(system_dlls
  advapi32.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll imm32.dll kernel32.dll
  msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll
  version.dll winmm.dll ws2_32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${PE}
                OUTPUT_VARIABLE dump ERROR_VARIABLE error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PE}: ${error}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" entries "${dump}")
if(NOT entries)
  message(FATAL_ERROR "${PE} shows no import table; is it a Windows executable?")
endif()
set(foreign "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  # API sets (api-ms-win-*) are Windows' own names for parts of its system DLLs.
  if(lower IN_LIST system_dlls OR lower MATCHES "^api-ms-win-")
    message(STATUS "system DLL: ${dll}")
  else()
    message(STATUS "NOT a system DLL: ${dll}")
    list(APPEND foreign "${dll}")
  endif()
endforeach()
# The names in the import tables' hint/name columns that Windows 7's user32 does not export.
string(REGEX MATCHALL
       "[ \t](GetDpiFor[A-Za-z]*|[A-Za-z]*ForDpi|[A-Za-z]*DpiAwarenessContext[A-Za-z]*|EnableNonClientDpiScaling)[\r\n]"
       newer "${dump}")
string(REGEX REPLACE "[ \t\r\n]" "" newer "${newer}")
if(foreign)
  list(JOIN foreign " " foreign_text)
  message(STATUS "Rejected, needs beside it: ${foreign_text}")
endif()
if(newer)
  list(JOIN newer " " newer_text)
  message(STATUS "Rejected, imports functions Windows 7 lacks: ${newer_text}")
endif()
if(foreign OR newer)
  message(FATAL_ERROR "${PE} would not start on every Windows it is meant for.")
endif()
