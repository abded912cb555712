// What the HTTP side's files share: the Beast names, a request target split
// into path and query, and the responses made from an answer.
#ifndef TAVOD_HTTP_COMMON_H
#define TAVOD_HTTP_COMMON_H

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <map>
#include <string>
#include <string_view>

#include "answer.h"

namespace tavod {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// The path and the query of a request target, split.
struct Target {
  std::string path;
  std::map<std::string, std::string> query;
};
Target SplitTarget(std::string_view target);

// An answer as a JSON response (a problem document for a failure).
Response MakeResponse(const Request &req, const Answer &a);
// Any other body, of `type`.
Response TextResponse(const Request &req, unsigned status,
                      const std::string &type, std::string body);

Answer NotFound(const std::string &path);
// 405 with the methods the resource takes.
Answer WrongMethod(const std::string &allowed);

}  // namespace tavod

#endif  // TAVOD_HTTP_COMMON_H
