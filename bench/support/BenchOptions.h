#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

// The "--name value" options of a benchmark: each names a number, a list of numbers or
// a word in its config. Parse fails, with a usage line on stderr, on an unknown name,
// a missing value or a value that is not what the option takes. The main thread.
class CBenchOptions {
public:
    template <typename T>
    CBenchOptions& Add(const char* szName, T* pValue, const char* szMeta = "N")
    {
        static_assert(std::is_integral_v<T>);
        constexpr std::uint64_t nMax =
            std::is_same_v<T, bool> ? 1 : static_cast<std::uint64_t>(std::numeric_limits<T>::max());
        return AddParser(szName, szMeta, [pValue](const char* szValue) {
            std::uint64_t n = 0;
            if (!ParseWhole(szValue, nMax, &n))
                return "is no number from 0 to " + std::to_string(nMax);
            *pValue = static_cast<T>(n);
            return std::string();
        });
    }

    // A comma-separated list of numbers from 0 to dMax, fractions allowed ("0,0.5,5").
    CBenchOptions& AddDecimals(const char* szName, std::vector<double>* pValues, double dMax,
                               const char* szMeta = "X[,X...]");
    // One of the words; *pIndex receives its position among them.
    CBenchOptions& AddChoice(const char* szName, int* pIndex, std::vector<std::string> vecWords);

    bool Parse(int argc, char** argv) const;

private:
    // Applies the value; "" on success, else what is wrong with it ("is no ...").
    using Parser = std::function<std::string(const char* szValue)>;

    struct Option {
        std::string strName;
        std::string strMeta;
        Parser parse;
    };

    CBenchOptions& AddParser(const char* szName, std::string strMeta, Parser parse);
    static bool ParseWhole(const char* szValue, std::uint64_t nMax, std::uint64_t* pValue);
    void PrintUsage(const char* szProgram) const;

    std::vector<Option> m_options;
};
