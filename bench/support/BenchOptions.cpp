#include "bench/support/BenchOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Digits with at most one point between them: no sign, exponent, "inf" or "nan".
bool ParseDecimal(const std::string& strText, double dMax, double* pValue)
{
    std::size_t nPoint = strText.find('.');
    if (strText.empty() || strText.find_first_not_of("0123456789.") != std::string::npos || strText.front() == '.'
        || strText.back() == '.' || (nPoint != std::string::npos && strText.find('.', nPoint + 1) != std::string::npos))
        return false;
    double d = std::strtod(strText.c_str(), nullptr);
    if (d > dMax)
        return false;
    *pValue = d;
    return true;
}

} // namespace

CBenchOptions& CBenchOptions::AddParser(const char* szName, std::string strMeta, Parser parse)
{
    m_options.push_back(Option {szName, std::move(strMeta), std::move(parse)});
    return *this;
}

bool CBenchOptions::ParseWhole(const char* szValue, std::uint64_t nMax, std::uint64_t* pValue)
{
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long nValue = std::strtoull(szValue, &pEnd, 10);
    if (*szValue == '\0' || *szValue == '-' || *pEnd != '\0' || errno != 0 || nValue > nMax)
        return false;
    *pValue = nValue;
    return true;
}

CBenchOptions& CBenchOptions::AddDecimals(const char* szName, std::vector<double>* pValues, double dMax,
                                          const char* szMeta)
{
    return AddParser(szName, szMeta, [pValues, dMax](const char* szValue) {
        std::vector<double> vecValues;
        std::string strText = szValue;
        for (std::size_t nPos = 0;;) {
            std::size_t nComma = strText.find(',', nPos);
            double d = 0;
            if (!ParseDecimal(strText.substr(nPos, nComma == std::string::npos ? nComma : nComma - nPos), dMax, &d))
            {
                char szMax[32];
                std::snprintf(szMax, sizeof(szMax), "%g", dMax);
                return std::string("is no list of numbers from 0 to ") + szMax;
            }
            vecValues.push_back(d);
            if (nComma == std::string::npos)
                break;
            nPos = nComma + 1;
        }
        *pValues = vecValues;
        return std::string();
    });
}

CBenchOptions& CBenchOptions::AddChoice(const char* szName, int* pIndex, std::vector<std::string> vecWords)
{
    std::string strMeta;
    for (const std::string& strWord : vecWords)
        strMeta += (strMeta.empty() ? "" : "|") + strWord;
    return AddParser(szName, strMeta, [pIndex, vecWords, strMeta](const char* szValue) {
        for (std::size_t i = 0; i < vecWords.size(); ++i) {
            if (vecWords[i] == szValue) {
                *pIndex = static_cast<int>(i);
                return std::string();
            }
        }
        return "is none of " + strMeta;
    });
}

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
        std::string strProblem = pOption->parse(argv[i + 1]);
        if (!strProblem.empty()) {
            std::fprintf(stderr, "%s: %s %s\n", pOption->strName.c_str(), argv[i + 1], strProblem.c_str());
            return false;
        }
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
