// What a request gets back from the worker: a status and a JSON body, which
// for a failure is a problem document (RFC 9457) that carries the library's
// result code and its text when the failure came from the unit.
#ifndef TAVOD_ANSWER_H
#define TAVOD_ANSWER_H

#include <boost/json.hpp>
#include <cstdint>
#include <string>

#include "codes.h"

namespace tavod {

struct Answer {
  unsigned status = 200;
  boost::json::value body;
  bool problem = false;
  std::string allow;  // 405: the methods the resource takes
};

inline Answer Ok(boost::json::value body, unsigned status = 200) {
  return Answer{status, std::move(body), false, {}};
}

// `kind` names the problem type: /problems/KIND.
inline Answer Problem(unsigned status, const std::string &kind,
                      const std::string &title, const std::string &detail) {
  boost::json::object o;
  o["type"] = "/problems/" + kind;
  o["title"] = title;
  o["status"] = status;
  o["detail"] = detail;
  return Answer{status, std::move(o), true, {}};
}

// The code's hex form, its text and next step from the table of codes.
inline void AddCode(boost::json::object &o, uint16_t code) {
  CodeInfo info = DescribeCode(code);
  o["code"] = HexCode(code);
  o["code_text"] = info.text;
  o["next_step"] = info.nextName;
}

inline Answer UnitProblem(unsigned status, const std::string &title,
                          uint16_t code) {
  Answer a = Problem(status, "unit-refused", title, DescribeCode(code).text);
  AddCode(a.body.as_object(), code);
  return a;
}

inline Answer UnitUnavailable(const std::string &detail = "see GET /v1/unit") {
  return Problem(503, "unit-unavailable", "The payment unit is not open",
                 detail);
}

inline Answer JournalRefused(const std::string &error) {
  return Problem(503, "journal", "The journal cannot be written", error);
}

}  // namespace tavod

#endif  // TAVOD_ANSWER_H
