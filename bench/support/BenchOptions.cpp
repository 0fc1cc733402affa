#include "bench/support/BenchOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool CBenchOptions::Parse(int argc, char** argv) const
{
    for (int i = 1; i < argc; i += 2) {
        const Option* pOption = nullptr;
        for (const Option& option : m_options) {
            if (option.strName == argv[i])
                pOption = &option;
        }
        if (pOption == nullptr || i + 1 >= argc) {
            PrintUsage(argv[0]);
            return false;
        }
        const char* szValue = argv[i + 1];
        char* pEnd = nullptr;
        errno = 0;
        unsigned long long nValue = std::strtoull(szValue, &pEnd, 10);
        if (*szValue == '\0' || *szValue == '-' || *pEnd != '\0' || errno != 0 || nValue > pOption->nMax) {
            std::fprintf(stderr, "%s: %s is no number from 0 to %llu\n", pOption->strName.c_str(), szValue,
                         static_cast<unsigned long long>(pOption->nMax));
            return false;
        }
        pOption->set(nValue);
    }
    return true;
}

void CBenchOptions::PrintUsage(const char* szProgram) const
{
    std::string usage = std::string("usage: ") + szProgram;
    for (const Option& option : m_options)
        usage += " [" + option.strName + " " + option.strMeta + "]";
    std::fprintf(stderr, "%s\n", usage.c_str());
}
