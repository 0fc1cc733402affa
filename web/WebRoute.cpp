#include "web/WebRoute.h"

#include <algorithm>
#include <cctype>

namespace {

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

const char* WebRoleName(WebRole eRole)
{
    switch (eRole) {
    case WebRole::None:
        return "none";
    case WebRole::Status:
        return "status";
    case WebRole::Operator:
        return "operator";
    }
    return "none";
}

std::string WebRequest::Header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (SameName(key, name))
            return value;
    return {};
}

bool WebRequest::HasParam(const std::string& name) const
{
    return std::any_of(params.begin(), params.end(), [&](const auto& param) { return param.first == name; });
}

std::string WebRequest::Param(const std::string& name) const
{
    for (const auto& [key, value] : params)
        if (key == name)
            return value;
    return {};
}

WebAnswer WebAnswer::Text(int nStatus, std::string text, std::string contentType)
{
    WebAnswer answer;
    answer.nStatus = nStatus;
    answer.strContentType = std::move(contentType);
    answer.body.AddBytes(std::move(text));
    return answer;
}

bool WebRoute::Matches(const std::string& method, const std::string& path) const
{
    const bool bMethod = method == strMethod || (method == "HEAD" && strMethod == "GET");
    if (!bMethod || path.compare(0, strPrefix.size(), strPrefix) != 0)
        return false;
    return path.size() == strPrefix.size() || path[strPrefix.size()] == '/';
}
