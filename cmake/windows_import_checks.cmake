# One test per Windows executable of the build (kavro.exe, every test exe, helper exes): it must
# import only Windows' own DLLs, so it runs from a folder holding nothing but itself.
# An executable that is meant to fail the check sets the target property
# KAVRO_IMPORTS_CHECKED_ELSEWHERE and gets its own test.

function(kavro_executables_below directory out)
  set(found "")
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(elsewhere ${target} KAVRO_IMPORTS_CHECKED_ELSEWHERE)
    if(type STREQUAL "EXECUTABLE" AND NOT elsewhere)
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    kavro_executables_below(${subdirectory} below)
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# The test's command; `pe` may be a generator expression.
function(kavro_import_check_command pe out)
  set(${out} ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPE=${pe}
      -P ${PROJECT_SOURCE_DIR}/cmake/check_pe_imports.cmake PARENT_SCOPE)
endfunction()

function(kavro_check_imports_of_all_executables)
  kavro_executables_below(${PROJECT_SOURCE_DIR} executables)
  foreach(target IN LISTS executables)
    kavro_import_check_command($<TARGET_FILE:${target}> command)
    add_test(NAME PeImports.${target}ImportsOnlySystemDlls COMMAND ${command})
  endforeach()
endfunction()
