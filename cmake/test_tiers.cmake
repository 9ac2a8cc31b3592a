# Test tiers, as CTest labels, so that a developer can run a part of the suite (ctest -L):
#   unit         no sockets, no processes, fast
#   integration  loopback sockets, an in-process relay, child processes, Qt offscreen windows;
#                those that take more than about 20 s carry `long` as well
#   e2e          the end-to-end scripts: the real relay and real clients
#   browser      the status page in headless Chromium
#   soak         the soak bench (a long cast under random faults), run only when asked for
#   wine         everything in the Windows tree, whatever its native tier: it all runs under Wine
include(GoogleTest)

# kavro_discover_tests(<target> [INTEGRATION <gtest filter>] [TIER <tier>]
#                      [PROPERTIES <property> <value>...] [<gtest_discover_tests options>...])
# Lists <target>'s tests for CTest in their tier: those the INTEGRATION filter matches (suite
# patterns such as "TcpConnection.*:ConnectInSteps.*") are integration tests and the rest unit
# tests; TIER puts every test in one tier. The Windows tree lists each suite once and labels its
# tests by directory (wine), so there the tiers are left out.
function(kavro_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "INTEGRATION;TIER" "PROPERTIES")
  if(WIN32)
    gtest_discover_tests(${target} ${arg_UNPARSED_ARGUMENTS} PROPERTIES ${arg_PROPERTIES})
  elseif(arg_TIER)
    gtest_discover_tests(${target} ${arg_UNPARSED_ARGUMENTS}
                         PROPERTIES LABELS ${arg_TIER} ${arg_PROPERTIES})
  elseif(arg_INTEGRATION)
    gtest_discover_tests(${target} ${arg_UNPARSED_ARGUMENTS} TEST_FILTER "${arg_INTEGRATION}"
                         PROPERTIES LABELS integration ${arg_PROPERTIES})
    gtest_discover_tests(${target} ${arg_UNPARSED_ARGUMENTS} TEST_FILTER "-${arg_INTEGRATION}"
                         PROPERTIES LABELS unit ${arg_PROPERTIES})
  else()
    gtest_discover_tests(${target} ${arg_UNPARSED_ARGUMENTS}
                         PROPERTIES LABELS unit ${arg_PROPERTIES})
  endif()
endfunction()

# kavro_label_long_tests(<test name>...)
# Adds `long` to the named integration tests (a discovered test's name carries its suffix, e.g.
# .threads1). The labels are set by a CTest file read after the discovered tests, since a list
# does not survive gtest_discover_tests' PROPERTIES. CTest ignores a name it does not know, so a
# renamed long test must be renamed here too (ctest -N -L long shows what the list catches).
function(kavro_label_long_tests)
  get_property(count DIRECTORY PROPERTY KAVRO_LONG_TEST_FILES)
  if(NOT count)
    set(count 0)
  endif()
  math(EXPR count "${count} + 1")
  set_property(DIRECTORY PROPERTY KAVRO_LONG_TEST_FILES ${count})
  set(file "${CMAKE_CURRENT_BINARY_DIR}/long_tests_${count}.cmake")
  set(content "")
  foreach(name IN LISTS ARGN)
    string(APPEND content
           "set_tests_properties([==[${name}]==] PROPERTIES LABELS \"integration;long\")\n")
  endforeach()
  file(WRITE "${file}" "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${file}")
endfunction()
