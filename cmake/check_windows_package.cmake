# Packs the Windows build as scripts/package does and checks what a user unzips: exactly
# kavro/kavro.exe, kavro/readme.txt and kavro/relay.txt; a relay.txt with Windows line ends whose
# one address line is the built-in relay; a readme that explains it.
#   cmake -DCPACK=<cpack> -DBUILD=<build dir> -DWORK=<scratch dir> -DRELAY=<host:port>
#         -P check_windows_package.cmake
cmake_policy(VERSION 3.25)

foreach(name CPACK BUILD WORK RELAY)
  if(NOT ${name})
    message(FATAL_ERROR "usage: cmake -DCPACK=... -DBUILD=... -DWORK=... -DRELAY=... -P ${CMAKE_SCRIPT_MODE_FILE}")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/unzipped)
execute_process(COMMAND ${CPACK} -G ZIP -B ${WORK} --config ${BUILD}/CPackConfig.cmake
                WORKING_DIRECTORY ${BUILD} OUTPUT_VARIABLE output ERROR_VARIABLE output
                RESULT_VARIABLE status)
file(GLOB zips ${WORK}/*.zip)
list(LENGTH zips count)
if(NOT status EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} zip files (status ${status}):\n${output}")
endif()
message(STATUS "packed ${zips}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zips} OUTPUT_VARIABLE listing
                RESULT_VARIABLE status)
string(REPLACE "\n" ";" entries "${listing}")
set(files "")
foreach(entry IN LISTS entries)
  if(entry AND NOT entry MATCHES "/$")  # folders are not files
    list(APPEND files "${entry}")
  endif()
endforeach()
list(SORT files)
if(NOT files STREQUAL "kavro/kavro.exe;kavro/readme.txt;kavro/relay.txt")
  message(FATAL_ERROR "the zip holds: ${files}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${WORK}/unzipped
                RESULT_VARIABLE status)
set(folder ${WORK}/unzipped/kavro)
file(READ ${folder}/kavro.exe head LIMIT 2 HEX)
if(NOT head STREQUAL "4d5a")
  message(FATAL_ERROR "kavro/kavro.exe is not a Windows program")
endif()

# Read as text, a file loses its carriage returns: with Windows line ends throughout, it is one
# byte longer for each line.
file(SIZE ${folder}/relay.txt relay_size)
file(READ ${folder}/relay.txt relay_txt)
string(LENGTH "${relay_txt}" relay_chars)
string(REGEX MATCHALL "\n" line_ends "${relay_txt}")
list(LENGTH line_ends line_count)
math(EXPR carriage_returns "${relay_size} - ${relay_chars}")
if(line_count EQUAL 0 OR NOT carriage_returns EQUAL line_count)
  message(FATAL_ERROR "relay.txt does not have Windows line ends throughout")
endif()
file(STRINGS ${folder}/relay.txt lines)
set(addresses "")
foreach(line IN LISTS lines)
  if(line AND NOT line MATCHES "^#")
    list(APPEND addresses "${line}")
  endif()
endforeach()
if(NOT addresses STREQUAL "${RELAY}")
  message(FATAL_ERROR "relay.txt's address lines are '${addresses}', not the built-in ${RELAY}")
endif()

file(READ ${folder}/readme.txt readme)
if(NOT readme MATCHES "relay.txt" OR NOT readme MATCHES "KAVRO_RELAY")
  message(FATAL_ERROR "readme.txt does not explain relay.txt")
endif()
message(STATUS "the zip holds kavro/kavro.exe, kavro/readme.txt and kavro/relay.txt (${RELAY})")
