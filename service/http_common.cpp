#include "http_common.h"

namespace tavod {

Target SplitTarget(std::string_view target) {
  Target t;
  size_t q = target.find('?');
  t.path = std::string(target.substr(0, q));
  if (q == std::string_view::npos) return t;
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    size_t eq = pair.find('=');
    t.query[std::string(pair.substr(0, eq))] =
        eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return t;
}

namespace {

// The response's head, then `type` and, for an answer, its Allow and
// Cache-Control.
Response Respond(const Request &req, unsigned status, const std::string &type,
                 std::string body, const Answer *a) {
  Response res{static_cast<http::status>(status), req.version()};
  res.set(http::field::server, "tavod");
  res.set("X-Content-Type-Options", "nosniff");
  if (a && !a->allow.empty()) res.set(http::field::allow, a->allow);
  res.set(http::field::content_type, type);
  if (a) res.set(http::field::cache_control, "no-store");
  res.keep_alive(req.keep_alive());
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

}  // namespace

Response TextResponse(const Request &req, unsigned status,
                      const std::string &type, std::string body) {
  return Respond(req, status, type, std::move(body), nullptr);
}

Response MakeResponse(const Request &req, const Answer &a) {
  return Respond(req, a.status,
                 a.problem ? "application/problem+json" : "application/json",
                 boost::json::serialize(a.body), &a);
}

Answer NotFound(const std::string &path) {
  return Problem(404, "not-found", "No such resource",
                 "nothing is served at " + path);
}

Answer WrongMethod(const std::string &allowed) {
  Answer a = Problem(405, "method-not-allowed", "Method not allowed",
                     "use " + allowed);
  a.allow = allowed == "GET" ? "GET, HEAD" : allowed;
  return a;
}

}  // namespace tavod
