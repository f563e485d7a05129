#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Each test process gets mutexes of its own, so that ctest may run tests in parallel, and
// leaves none behind in /dev/shm.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string space = "pt" + std::to_string(::getpid());
    ::setenv("TOKEN_PLATFORM_NAMESPACE", space.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        if (entry.path().filename().string().starts_with("tarvex." + space + ".")) {
            std::filesystem::remove(entry.path(), ec);
        }
    }
    return result;
}
