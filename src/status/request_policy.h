#pragma once
// What the status server answers at all. It serves three read-only addresses, so a request
// with any other method or with a body is refused before its body is read, and when a token
// is configured, every request for the program's state must carry it as
//   Authorization: Bearer <token>
// (what Prometheus sends with its authorization or bearer_token_file settings). The page
// itself, "/", holds no state and is answered without the token: a browser cannot add the
// header to the address it opens, and the page's own requests carry it. Any thread.

#include <string_view>

namespace tarvell
{

enum class RequestVerdict
{
    Answer,
    WrongMethod, // 405: only GET and HEAD
    HasBody,     // 413: no address takes a body
    NoToken,     // 401: a token is configured and the request does not carry it
};

struct RequestFacts
{
    std::string_view method;
    std::string_view path;
    std::string_view contentLength; // the header's value, empty when absent
    bool transferEncoding = false;  // a Transfer-Encoding header is present
    std::string_view authorization; // the header's value, empty when absent
};

// The verdict on a request; token empty means none is asked for.
RequestVerdict JudgeRequest(const RequestFacts& request, std::string_view token);

// True when presented equals token, taking the same time whatever the first byte that
// differs: the time of a refusal tells nothing about the token.
bool SameToken(std::string_view presented, std::string_view token);

} // namespace tarvell
