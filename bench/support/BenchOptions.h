#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

// The "--name value" options of a benchmark: each names a number in its config.
// Parse fails, with a usage line on stderr, on an unknown name, a missing value or
// a value that is no number in the option's range. The main thread.
class CBenchOptions {
public:
    template <typename T>
    CBenchOptions& Add(const char* szName, T* pValue, const char* szMeta = "N")
    {
        static_assert(std::is_integral_v<T>);
        Option option {szName, szMeta, std::is_same_v<T, bool> ? 1 : static_cast<std::uint64_t>(std::numeric_limits<T>::max()),
                       [pValue](std::uint64_t n) { *pValue = static_cast<T>(n); }};
        m_options.push_back(std::move(option));
        return *this;
    }

    bool Parse(int argc, char** argv) const;

private:
    struct Option {
        std::string strName;
        std::string strMeta;
        std::uint64_t nMax;
        std::function<void(std::uint64_t)> set;
    };

    void PrintUsage(const char* szProgram) const;

    std::vector<Option> m_options;
};
