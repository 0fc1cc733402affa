#include "support/Descriptors.h"

#include "support/WaitFor.h"

#include <filesystem>
#include <thread>

std::size_t ThreadCount()
{
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

namespace {

std::size_t CountNow()
{
    std::size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n - 1;  // the directory iterator's own
}

} // namespace

std::size_t OpenDescriptors()
{
    std::size_t nLast = CountNow();
    int nSame = 0;
    WaitFor(
        [&] {
            const std::size_t nNow = CountNow();
            nSame = nNow == nLast ? nSame + 1 : 0;
            nLast = nNow;
            return nSame >= 3;
        },
        std::chrono::seconds(2), [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    return nLast;
}

std::size_t DescriptorsSettledAt(std::size_t nExpected)
{
    std::size_t nNow = 0;
    WaitFor([&] { return (nNow = CountNow()) == nExpected; }, std::chrono::seconds(2));
    return nNow;
}
