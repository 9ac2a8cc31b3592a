// The test main of the Windows build: WinSock must be started in every process before its first
// socket() (which fails with WSANOTINITIALISED otherwise), and tests open sockets themselves, not
// only through the client's connection. So every test process starts it here, once.
#include <winsock2.h>

#include <cstdio>

#ifdef KAVRO_TEST_MAIN_WITH_GMOCK
#include <gmock/gmock.h>
#else
#include <gtest/gtest.h>
#endif

int main(int argc, char** argv) {
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        std::fprintf(stderr, "WinSock did not start (error %d)\n", started);
        return 1;
    }
#ifdef KAVRO_TEST_MAIN_WITH_GMOCK
    testing::InitGoogleMock(&argc, argv);
#else
    testing::InitGoogleTest(&argc, argv);
#endif
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
