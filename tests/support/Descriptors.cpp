#include "support/Descriptors.h"

#include "support/WaitFor.h"

#include <filesystem>

std::size_t ThreadCount()
{
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

std::size_t OpenDescriptors()
{
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n - 1;  // the directory iterator's own
}

std::size_t DescriptorsSettledAt(std::size_t nExpected)
{
    std::size_t nNow = 0;
    WaitFor([&] { return (nNow = OpenDescriptors()) == nExpected; }, std::chrono::seconds(2));
    return nNow;
}
