#include "status/request_policy.h"

#include <cctype>
#include <cstddef>

namespace tarvell
{
namespace
{

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The credentials of "Bearer <token>" (the scheme in any letter case), or empty.
std::string_view BearerCredentials(std::string_view authorization)
{
    constexpr std::string_view kScheme = "Bearer ";
    if (authorization.size() <= kScheme.size() ||
        !EqualsIgnoreCaseAscii(authorization.substr(0, kScheme.size()), kScheme))
        return {};
    std::string_view credentials = authorization.substr(kScheme.size());
    while (!credentials.empty() && credentials.front() == ' ')
        credentials.remove_prefix(1);
    while (!credentials.empty() && credentials.back() == ' ')
        credentials.remove_suffix(1);
    return credentials;
}

} // namespace

bool SameToken(std::string_view presented, std::string_view token)
{
    unsigned char difference = presented.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < presented.size(); ++i)
    {
        const char expected = token.empty() ? '\0' : token[i % token.size()];
        difference |= static_cast<unsigned char>(presented[i] ^ expected);
    }
    return difference == 0 && !token.empty();
}

RequestVerdict JudgeRequest(const RequestFacts& request, std::string_view token)
{
    if (request.method != "GET" && request.method != "HEAD")
        return RequestVerdict::WrongMethod;
    if (request.transferEncoding ||
        request.contentLength.find_first_not_of('0') != std::string_view::npos)
        return RequestVerdict::HasBody;
    if (!token.empty() && request.path != "/" &&
        !SameToken(BearerCredentials(request.authorization), token))
        return RequestVerdict::NoToken;
    return RequestVerdict::Answer;
}

} // namespace tarvell
