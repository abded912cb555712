#include "body.h"

#include <boost/json/basic_parser_impl.hpp>
#include <set>

#include "auth.h"

namespace tavod {
namespace json = boost::json;
namespace {

// The media type of a Content-Type value: "application/json" for
// "Application/JSON; charset=utf-8".
bool IsJsonType(std::string_view contentType) {
  return EqualsNoCase(Trim(contentType.substr(0, contentType.find(';'))),
                      "application/json");
}

// Boost.JSON keeps the last of duplicate keys; a body that names a field
// twice is ambiguous (a proxy may have read the first) and is refused. This
// handler of Boost.JSON's own parser only watches the keys of each object.
struct DuplicateKeys {
  constexpr static std::size_t max_object_size = std::size_t(-1);
  constexpr static std::size_t max_array_size = std::size_t(-1);
  constexpr static std::size_t max_key_size = std::size_t(-1);
  constexpr static std::size_t max_string_size = std::size_t(-1);
  std::vector<std::set<std::string>> objects;
  std::string key;
  bool found = false;
  using ec_t = boost::system::error_code;
  bool on_document_begin(ec_t &) { return true; }
  bool on_document_end(ec_t &) { return true; }
  bool on_object_begin(ec_t &) {
    objects.emplace_back();
    return true;
  }
  bool on_object_end(std::size_t, ec_t &) {
    objects.pop_back();
    return true;
  }
  bool on_array_begin(ec_t &) { return true; }
  bool on_array_end(std::size_t, ec_t &) { return true; }
  bool on_key_part(std::string_view s, std::size_t, ec_t &) {
    key.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, ec_t &) {
    key.append(s);
    found = found || !objects.back().insert(std::move(key)).second;
    key.clear();
    return true;
  }
  bool on_string_part(std::string_view, std::size_t, ec_t &) { return true; }
  bool on_string(std::string_view, std::size_t, ec_t &) { return true; }
  bool on_number_part(std::string_view, ec_t &) { return true; }
  bool on_int64(std::int64_t, std::string_view, ec_t &) { return true; }
  bool on_uint64(std::uint64_t, std::string_view, ec_t &) { return true; }
  bool on_double(double, std::string_view, ec_t &) { return true; }
  bool on_bool(bool, ec_t &) { return true; }
  bool on_null(ec_t &) { return true; }
  bool on_comment_part(std::string_view, ec_t &) { return true; }
  bool on_comment(std::string_view, ec_t &) { return true; }
};

bool HasDuplicateKeys(const std::string &text) {
  json::basic_parser<DuplicateKeys> p{json::parse_options{}};
  boost::system::error_code ec;
  p.write_some(false, text.data(), text.size(), ec);
  return !ec && p.handler().found;
}

}  // namespace

// Checks the body against its fields; an answer when it is refused.
std::optional<Answer> ParseBody(const Request &req,
                                const std::vector<Field> &fields,
                                json::object *out) {
  if (req.body().empty()) {
    *out = {};
  } else {
    if (!IsJsonType(req[http::field::content_type])) {
      return Problem(415, "unsupported-media-type", "The body must be JSON",
                     "send Content-Type: application/json");
    }
    boost::system::error_code ec;
    json::value v = json::parse(req.body(), ec);
    if (ec) {
      return Problem(400, "malformed-json", "The body is not valid JSON",
                     ec.message());
    }
    if (HasDuplicateKeys(req.body())) {
      return Problem(400, "malformed-json", "The body names a field twice",
                     "each field may appear once");
    }
    if (!v.is_object()) {
      return Problem(400, "malformed-json", "The body must be a JSON object",
                     "expected an object such as {\"price\": 1200}");
    }
    *out = std::move(v.as_object());
  }
  for (const auto &[key, value] : *out) {
    bool known = false;
    for (const Field &f : fields) known = known || key == f.name;
    if (!known) {
      return Problem(422, "unknown-field", "The body has an unknown field",
                     "field \"" + std::string(key) + "\" is not accepted here");
    }
  }
  for (const Field &f : fields) {
    const json::value *v = out->if_contains(f.name);
    std::string name = f.name;
    if (!v) {
      if (f.required) {
        return Problem(422, "missing-field", "A required field is missing",
                       "field \"" + name + "\" is required");
      }
      continue;
    }
    if (f.kind == Field::kInt) {
      if (!v->is_int64() && !v->is_uint64()) {
        return Problem(422, "invalid-field", "A field has the wrong type",
                       "field \"" + name + "\" must be a whole number");
      }
      bool big = v->is_uint64() && v->as_uint64() > uint64_t(INT64_MAX);
      int64_t n = big ? INT64_MAX : v->to_number<int64_t>();
      if (n < f.min || n > f.max || (n - f.min) % f.step != 0) {
        std::string rule = "between " + std::to_string(f.min) + " and " +
                           std::to_string(f.max);
        if (f.step > 1) rule += ", a multiple of " + std::to_string(f.step);
        return Problem(422, "invalid-field", "A field is out of range",
                       "field \"" + name + "\" must be " + rule);
      }
    } else if (f.kind == Field::kBool) {
      if (!v->is_bool()) {
        return Problem(422, "invalid-field", "A field has the wrong type",
                       "field \"" + name + "\" must be true or false");
      }
    } else if (f.kind == Field::kObject) {
      if (!v->is_object()) {
        return Problem(422, "invalid-field", "A field has the wrong type",
                       "field \"" + name + "\" must be an object");
      }
    } else if (f.choices.empty()) {
      // Free text, of at most `max` bytes.
      if (!v->is_string() || v->as_string().size() > size_t(f.max)) {
        return Problem(422, "invalid-field", "A field has a wrong value",
                       "field \"" + name + "\" must be text of at most " +
                           std::to_string(f.max) + " bytes");
      }
    } else {
      if (!v->is_string() ||
          std::find(f.choices.begin(), f.choices.end(),
                    std::string(v->as_string())) == f.choices.end()) {
        std::string list;
        for (const std::string &c : f.choices) {
          list += (list.empty() ? "" : ", ") + c;
        }
        return Problem(422, "invalid-field", "A field has a wrong value",
                       "field \"" + name + "\" must be one of: " + list);
      }
    }
  }
  return std::nullopt;
}

int64_t IntField(const json::object &o, const char *name, int64_t fallback) {
  const json::value *v = o.if_contains(name);
  return v ? v->to_number<int64_t>() : fallback;
}

}  // namespace tavod
