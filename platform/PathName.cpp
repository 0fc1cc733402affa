#include "platform/PathName.h"

bool IsSafePathComponent(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name) {
        auto uc = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || uc < 0x20 || uc == 0x7F)
            return false;
    }
    return true;
}
