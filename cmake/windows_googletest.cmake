# GoogleTest for the Windows build, compiled with the cross compiler from the sources Debian's
# googletest package puts in /usr/src/googletest (Debian ships no MinGW build of it). It defines
# the same targets as find_package(GTest), so a test folder's CMakeLists serves both builds;
# the mains also start WinSock, which every test process that opens a socket needs first.
set(KAVRO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
set(gtest_root ${KAVRO_GOOGLETEST_SOURCE}/googletest)
set(gmock_root ${KAVRO_GOOGLETEST_SOURCE}/googlemock)
if(NOT EXISTS ${gtest_root}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest's sources are missing from ${KAVRO_GOOGLETEST_SOURCE}: "
                      "install Debian's googletest package (scripts/setup does).")
endif()

# Third-party code: built without this project's warning flags.
add_library(kavro_gtest STATIC ${gtest_root}/src/gtest-all.cc)
set_target_properties(kavro_gtest PROPERTIES COMPILE_OPTIONS "")
target_include_directories(kavro_gtest SYSTEM PUBLIC ${gtest_root}/include)
target_include_directories(kavro_gtest PRIVATE ${gtest_root})

add_library(kavro_gtest_main STATIC ${PROJECT_SOURCE_DIR}/tests/support/winsock_test_main.cpp)
target_link_libraries(kavro_gtest_main PUBLIC kavro_gtest ws2_32)

add_library(kavro_gmock STATIC EXCLUDE_FROM_ALL ${gmock_root}/src/gmock-all.cc)
set_target_properties(kavro_gmock PROPERTIES COMPILE_OPTIONS "")
target_include_directories(kavro_gmock SYSTEM PUBLIC ${gmock_root}/include)
target_include_directories(kavro_gmock PRIVATE ${gmock_root})
target_link_libraries(kavro_gmock PUBLIC kavro_gtest)

add_library(kavro_gmock_main STATIC EXCLUDE_FROM_ALL
            ${PROJECT_SOURCE_DIR}/tests/support/winsock_test_main.cpp)
target_compile_definitions(kavro_gmock_main PRIVATE KAVRO_TEST_MAIN_WITH_GMOCK)
target_link_libraries(kavro_gmock_main PUBLIC kavro_gmock ws2_32)

add_library(GTest::gtest ALIAS kavro_gtest)
add_library(GTest::gtest_main ALIAS kavro_gtest_main)
add_library(GTest::gmock ALIAS kavro_gmock)
add_library(GTest::gmock_main ALIAS kavro_gmock_main)
