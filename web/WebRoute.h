#pragma once

#include "web/WebBody.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Handlers added to the dashboard's API from outside it (CWebApi::Config::routes).
//
// A route answers every request whose method is strMethod (a "GET" route answers
// HEAD too: the handler sees "HEAD", and the server sends the head of its answer
// without the body) and whose path is strPrefix or lies under it (strPrefix + "/...").
// Routes are tried in their order, before the dashboard's own paths. The server
// checks the caller's role first: a caller below eRequired gets 401 when it sent no
// valid token and 403 when its token is of too low a role; the handler is called
// only for callers at or above it.
//
// The handler runs on one of the dashboard's worker threads, several at a time: it
// must not wait long (no network, no long locks), and answers a large file as a
// file range of its body, which the connection sends without holding a worker. What
// it throws becomes a 500 and ends the connection.

// What a caller may do, lowest first.
enum class WebRole {
    None,      // nothing but the login page
    Status,    // the dashboard's reads (httptoken)
    Operator,  // footage and what changes it (footagetoken)
};

// "none", "status" or "operator", for logs.
const char* WebRoleName(WebRole eRole);

// One request as a handler sees it; the body is whole.
struct WebRequest {
    std::string strMethod;  // "GET", "HEAD", "POST", ...
    std::string strPath;    // percent-decoded, without the query
    std::vector<std::pair<std::string, std::string>> params;   // the query, decoded, in order
    std::vector<std::pair<std::string, std::string>> headers;  // as sent (Range, Authorization, ...)
    std::string strBody;
    std::string strClientAddr;  // the peer's IP address
    WebRole eRole = WebRole::None;

    // The first header of that name (case-insensitive), "" when none.
    std::string Header(const std::string& name) const;
    bool HasParam(const std::string& name) const;
    // The first query parameter of that name, "" when none.
    std::string Param(const std::string& name) const;
};

// A handler's answer. Content-Length comes from the body; the server adds its own
// headers (Cache-Control, X-Content-Type-Options, Connection).
struct WebAnswer {
    int nStatus = 200;
    std::string strContentType = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    CWebBody body;

    // An answer of text (status, type and body).
    static WebAnswer Text(int nStatus, std::string text, std::string contentType = "application/json; charset=utf-8");
};

struct WebRoute {
    std::string strMethod;  // "GET", "POST", "PUT", "DELETE", ...
    std::string strPrefix;  // e.g. "/api/v1/recordings"
    WebRole eRequired = WebRole::Operator;
    std::function<WebAnswer(const WebRequest&)> handler;

    // Whether the route answers this method and path.
    bool Matches(const std::string& method, const std::string& path) const;
};
