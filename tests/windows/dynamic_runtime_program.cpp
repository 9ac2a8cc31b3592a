// Uses the C++ library, so a dynamic link imports libstdc++-6.dll: the import check must reject it.
#include <iostream>
#include <string>

int main(int argc, char**) {
    std::cout << std::string(static_cast<std::size_t>(argc), '*') << '\n';
    return 0;
}
