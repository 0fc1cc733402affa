// Splits the input as a partial file name, and reads it as a time text and a date
// directory name: nothing may read or write out of bounds, and the fields keep
// their bounds whatever the name holds.
#include "store/LocalStore.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(bool bCondition)
{
    if (!bCondition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const std::string name(reinterpret_cast<const char*>(pData), nSize);
    TdNameFields fields;
    int nResult = ParseTdName(name, fields);
    Check(nResult == 0 || nResult == -1);
    for (const std::string& field : fields)
        Check(field.size() <= kTdFieldMax);
    if (nResult == 0) {
        for (const std::string& field : fields)
            Check(!field.empty());
    }

    // Time texts are read at fixed positions only, and go back and forth unchanged
    // once normalised.
    std::uint32_t tValue = ParseTimeString(name);
    Check(ParseTimeString(FormatTimeString(tValue)) == tValue);
    Check(!DateDirLater(name, name));
    Check(!(DateDirLater(name, "01-01-2013") && DateDirLater("01-01-2013", name)));
    return 0;
}
