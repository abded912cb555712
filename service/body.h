// A request's JSON body checked against the fields a route takes, before
// anything reaches the worker: JSON by its media type, each field once, no
// unknown field, each of its type and in range.
#ifndef TAVOD_BODY_H
#define TAVOD_BODY_H

#include <boost/json.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "http_common.h"

namespace tavod {

// One field of a request body.
struct Field {
  const char *name;
  // kObject: an object, its members for the route to check.
  enum Kind { kInt, kBool, kString, kObject } kind;
  bool required;
  int64_t min = 0, max = 0, step = 1;     // integers
  std::vector<std::string> choices = {};  // strings; none: text up to max
};

// Checks the body against its fields; an answer when it is refused.
std::optional<Answer> ParseBody(const Request &req,
                                const std::vector<Field> &fields,
                                boost::json::object *out);
int64_t IntField(const boost::json::object &o, const char *name,
                 int64_t fallback);

}  // namespace tavod

#endif  // TAVOD_BODY_H
