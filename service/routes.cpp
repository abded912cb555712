#include "routes.h"

#include <charconv>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>

#include "auth.h"
#include "body.h"
#include "history.h"
#include "report.h"

namespace tavod {
namespace json = boost::json;
namespace {

// What a handler gets of its request beside it: the id in its path, the
// query.
struct Match {
  int64_t id = 0;
  std::map<std::string, std::string> query;
};

using Handler = net::awaitable<Response> (*)(ServerState &, const Request &,
                                             const Match &);

struct Route {
  http::verb method;
  // "{id}" stands for a positive number.
  std::string_view path;
  Role need;  // kNone: no token
  Handler handler;
};

std::string ReadFile(const std::string &path, bool *ok) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  *ok = static_cast<bool>(f);
  return s.str();
}

// A body-less answer of the worker's job.
template <typename F>
net::awaitable<Response> Job(ServerState &s, const Request &req, F job) {
  co_return MakeResponse(req, co_await s.OnWorker(std::move(job)));
}

const std::vector<Field> kNoFields;

// A route that takes a body: refused as the body is, else the job made
// from the body.
template <typename F>
net::awaitable<Response> WithBody(ServerState &s, const Request &req,
                                  const std::vector<Field> &fields, F make) {
  json::object body;
  if (auto bad = ParseBody(req, fields, &body))
    co_return MakeResponse(req, *bad);
  co_return MakeResponse(req, co_await s.OnWorker(make(body)));
}

net::awaitable<Response> Health(ServerState &s, const Request &req,
                                const Match &) {
  // Liveness, and the one fault that stops sales without stopping the
  // service: a journal that cannot be written.
  if (s.worker.JournalFaulted()) {
    co_return MakeResponse(req,
                           Ok(json::object{{"status", "fault"},
                                           {"faults", json::array{"journal"}}},
                              503));
  }
  co_return MakeResponse(req, Ok(json::object{{"status", "ok"}}));
}

net::awaitable<Response> MetricsText(ServerState &s, const Request &req,
                                     const Match &) {
  co_return TextResponse(req, 200, "text/plain; version=0.0.4; charset=utf-8",
                         s.metrics.Render());
}

net::awaitable<Response> Openapi(ServerState &s, const Request &req,
                                 const Match &) {
  bool ok = false;
  std::string body = ReadFile(s.config.openapiPath, &ok);
  if (!ok) co_return MakeResponse(req, NotFound("/v1/openapi.yaml"));
  co_return TextResponse(req, 200, "application/yaml", std::move(body));
}

net::awaitable<Response> UnitState(ServerState &s, const Request &req,
                                   const Match &) {
  auto snapshot = s.worker.UnitJson();
  Response r = TextResponse(req, 200, "application/json", *snapshot);
  r.set(http::field::cache_control, "no-store");
  co_return r;
}

net::awaitable<Response> ListSales(ServerState &s, const Request &req,
                                   const Match &m) {
  Worker *w = &s.worker;
  SaleQuery q;
  if (auto bad = ParseSaleQuery(m.query, &q)) {
    co_return MakeResponse(req, *bad);
  }
  co_return co_await Job(s, req, [w, q] { return w->ListSales(q); });
}

net::awaitable<Response> SaleSteps(ServerState &s, const Request &req,
                                   const Match &m) {
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await Job(s, req, [w, id] { return w->SaleSteps(id); });
}

net::awaitable<Response> DayReport(ServerState &s, const Request &req,
                                   const Match &m) {
  auto date = m.query.find("date");
  auto format = m.query.find("format");
  int64_t from = 0, to = 0;
  if (date == m.query.end() || !LocalDay(date->second, &from, &to)) {
    co_return MakeResponse(req, Problem(400, "invalid-query",
                                        "A query parameter has a wrong value",
                                        "\"date\" must be a date YYYY-MM-DD"));
  }
  bool csv =
      format != m.query.end()
          ? format->second == "csv"
          : req[http::field::accept].find("text/csv") != std::string::npos;
  if (format != m.query.end() && format->second != "csv" &&
      format->second != "json") {
    co_return MakeResponse(req, Problem(400, "invalid-query",
                                        "A query parameter has a wrong value",
                                        "\"format\" must be json or csv"));
  }
  Worker *w = &s.worker;
  // Plain values captured only (see VirtualFault): the worker names the day
  // again from its start.
  Answer a =
      co_await s.OnWorker([w, from, to] { return w->DayReport(from, to); });
  std::string day = date->second;
  if (!csv || a.problem) co_return MakeResponse(req, a);
  Response r = TextResponse(req, 200, "text/csv; charset=utf-8",
                            DayReportCsv(a.body.as_object()));
  r.set(http::field::content_disposition,
        "attachment; filename=\"tavod-day-" + day + ".csv\"");
  co_return r;
}

net::awaitable<Response> CreateSale(ServerState &s, const Request &req,
                                    const Match &) {
  static const std::vector<Field> kFields = {
      {"price", Field::kInt, true, 10, 32760, 10}};
  json::object body;
  if (auto bad = ParseBody(req, kFields, &body)) {
    co_return MakeResponse(req, *bad);
  }
  auto price = static_cast<uint32_t>(IntField(body, "price", 0));
  Worker *w = &s.worker;
  Answer a = co_await s.OnWorker([w, price] { return w->CreateSale(price); });
  Response r = MakeResponse(req, a);
  if (a.status == 201) {
    r.set(
        http::field::location,
        "/v1/sales/" + std::to_string(a.body.as_object().at("id").as_int64()));
  }
  co_return r;
}

net::awaitable<Response> GetSale(ServerState &s, const Request &req,
                                 const Match &m) {
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await Job(s, req, [w, id] { return w->GetSale(id); });
}

net::awaitable<Response> CancelSale(ServerState &s, const Request &req,
                                    const Match &m) {
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await WithBody(s, req, kNoFields, [w, id](const json::object &) {
    return [w, id] { return w->CancelSale(id); };
  });
}

net::awaitable<Response> Payout(ServerState &s, const Request &req,
                                const Match &) {
  static const std::vector<Field> kFields = {
      {"amount", Field::kInt, true, 10, 30000, 10}};
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kFields, [w](const json::object &body) {
    auto amount = static_cast<uint32_t>(IntField(body, "amount", 0));
    return [w, amount] { return w->Payout(amount); };
  });
}

net::awaitable<Response> ListOperations(ServerState &s, const Request &req,
                                        const Match &) {
  Worker *w = &s.worker;
  co_return co_await Job(s, req, [w] { return w->ListOperations(); });
}

net::awaitable<Response> Display(ServerState &s, const Request &req,
                                 const Match &) {
  static const std::vector<Field> kFields = {
      {"value", Field::kInt, true, 0, 9999}};
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kFields, [w](const json::object &body) {
    auto value = static_cast<uint32_t>(IntField(body, "value", 0));
    return [w, value] { return w->Display(value); };
  });
}

net::awaitable<Response> Beep(ServerState &s, const Request &req,
                              const Match &) {
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kNoFields, [w](const json::object &) {
    return [w] { return w->Beep(); };
  });
}

net::awaitable<Response> ResetUnit(ServerState &s, const Request &req,
                                   const Match &) {
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kNoFields, [w](const json::object &) {
    return [w] { return w->ResetUnit(); };
  });
}

net::awaitable<Response> ListIncidents(ServerState &s, const Request &req,
                                       const Match &m) {
  Worker *w = &s.worker;
  auto open = m.query.find("open");
  bool openOnly =
      open != m.query.end() && (open->second == "true" || open->second == "1");
  co_return co_await Job(s, req,
                         [w, openOnly] { return w->ListIncidents(openOnly); });
}

// The job of a resolve. Plain values captured only (see VirtualFault): the
// note goes to the worker on the heap, and the job takes it.
auto ResolveJob(Worker *w, int64_t id, const json::object &body) {
  auto *note = new std::string();
  if (body.contains("note")) *note = body.at("note").as_string();
  return [w, id, note] {
    std::unique_ptr<std::string> own(note);
    return w->ResolveIncident(id, *own);
  };
}

net::awaitable<Response> ResolveIncident(ServerState &s, const Request &req,
                                         const Match &m) {
  static const std::vector<Field> kFields = {
      {"note", Field::kString, false, 0, 500}};
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await WithBody(
      s, req, kFields,
      [w, id](const json::object &body) { return ResolveJob(w, id, body); });
}

net::awaitable<Response> StockState(ServerState &s, const Request &req,
                                    const Match &) {
  Worker *w = &s.worker;
  co_return co_await Job(s, req, [w] { return w->Stock(); });
}

net::awaitable<Response> OpenRefill(ServerState &s, const Request &req,
                                    const Match &) {
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kNoFields, [w](const json::object &) {
    return [w] { return w->OpenRefill(); };
  });
}

net::awaitable<Response> GetRefill(ServerState &s, const Request &req,
                                   const Match &m) {
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await Job(s, req, [w, id] { return w->GetRefill(id); });
}

net::awaitable<Response> CloseRefill(ServerState &s, const Request &req,
                                     const Match &m) {
  Worker *w = &s.worker;
  int64_t id = m.id;
  co_return co_await WithBody(s, req, kNoFields, [w, id](const json::object &) {
    return [w, id] { return w->CloseRefill(id); };
  });
}

// The float: how many of each denomination stay in the stock. A
// denomination not named keeps its whole stock (the units count at most
// 255 of one).
std::optional<Answer> ParseKeep(const json::object &keep,
                                std::array<uint32_t, 5> *out) {
  static const char *const kNames[5] = {"10", "50", "100", "500", "1000"};
  out->fill(255);
  for (const auto &[key, value] : keep) {
    int k = 0;
    while (k < 5 && key != kNames[k]) ++k;
    if (k == 5) {
      return Problem(422, "invalid-field", "A field has a wrong value",
                     "\"keep\" names denominations 10, 50, 100, 500, 1000, "
                     "not \"" +
                         std::string(key) + "\"");
    }
    if (!value.is_int64() || value.as_int64() < 0 || value.as_int64() > 255) {
      return Problem(422, "invalid-field", "A field is out of range",
                     "\"keep\" counts must be whole numbers from 0 to 255");
    }
    (*out)[k] = static_cast<uint32_t>(value.as_int64());
  }
  return std::nullopt;
}

net::awaitable<Response> Collect(ServerState &s, const Request &req,
                                 const Match &) {
  static const std::vector<Field> kFields = {{"keep", Field::kObject, true},
                                             {"confirm", Field::kBool, false}};
  json::object body;
  if (auto bad = ParseBody(req, kFields, &body)) {
    co_return MakeResponse(req, *bad);
  }
  std::array<uint32_t, 5> keep{};
  if (auto bad = ParseKeep(body.at("keep").as_object(), &keep)) {
    co_return MakeResponse(req, *bad);
  }
  bool confirm = body.contains("confirm") && body.at("confirm").as_bool();
  Worker *w = &s.worker;
  co_return co_await Job(
      s, req, [w, keep, confirm] { return w->Collect(keep, confirm); });
}

net::awaitable<Response> VirtualMoney(ServerState &s, const Request &req,
                                      const Match &) {
  Worker *w = &s.worker;
  co_return co_await Job(s, req, [w] { return w->VirtualMoney(); });
}

net::awaitable<Response> Insert(ServerState &s, const Request &req, bool note) {
  static const std::vector<Field> kNote = {
      {"value", Field::kInt, true, 1000, 1000}};
  static const std::vector<Field> kCoin = {
      {"value", Field::kInt, true, 10, 500, 10}};
  Worker *w = &s.worker;
  json::object body;
  if (auto bad = ParseBody(req, note ? kNote : kCoin, &body)) {
    co_return MakeResponse(req, *bad);
  }
  auto v = static_cast<int>(IntField(body, "value", 0));
  if (!note && v != 10 && v != 50 && v != 100 && v != 500) {
    co_return MakeResponse(
        req, Problem(422, "invalid-field", "A field has a wrong value",
                     "field \"value\" must be one of: 10, 50, 100, 500"));
  }
  co_return co_await Job(s, req,
                         [w, note, v] { return w->VirtualInsert(note, v); });
}

net::awaitable<Response> InsertCoin(ServerState &s, const Request &req,
                                    const Match &) {
  co_return co_await Insert(s, req, false);
}

net::awaitable<Response> InsertNote(ServerState &s, const Request &req,
                                    const Match &) {
  co_return co_await Insert(s, req, true);
}

net::awaitable<Response> VirtualFault(ServerState &s, const Request &req,
                                      const Match &) {
  static const char *const kKinds[] = {"coin_jam", "note_jam", "power_failure",
                                       "silence"};
  static const std::vector<Field> kFields = {
      {"kind",
       Field::kString,
       true,
       0,
       0,
       1,
       {kKinds[0], kKinds[1], kKinds[2], kKinds[3]}},
      {"on", Field::kBool, false}};
  Worker *w = &s.worker;
  co_return co_await WithBody(s, req, kFields, [w](const json::object &body) {
    // The job captures plain values only: GCC 12 may destroy an object
    // captured by a lambda in a co_await expression twice.
    size_t kind = 0;
    while (body.at("kind").as_string() != kKinds[kind]) ++kind;
    bool on = !body.contains("on") || body.at("on").as_bool();
    return [w, kind, on] { return w->VirtualFault(kKinds[kind], on); };
  });
}

using enum Role;
constexpr auto kGet = http::verb::get;
constexpr auto kPost = http::verb::post;

const Route kRoutes[] = {
    {kGet, "/healthz", kNone, Health},
    {kGet, "/metrics", kMetrics, MetricsText},
    {kGet, "/v1/openapi.yaml", kApp, Openapi},
    {kGet, "/v1/unit", kApp, UnitState},
    {kGet, "/v1/sales", kApp, ListSales},
    {kPost, "/v1/sales", kApp, CreateSale},
    {kGet, "/v1/sales/{id}", kApp, GetSale},
    {kGet, "/v1/sales/{id}/steps", kApp, SaleSteps},
    {kGet, "/v1/reports/day", kApp, DayReport},
    {kPost, "/v1/sales/{id}/cancel", kApp, CancelSale},
    {kPost, "/v1/payouts", kOperator, Payout},
    {kGet, "/v1/operations", kApp, ListOperations},
    {kGet, "/v1/stock", kApp, StockState},
    {kPost, "/v1/refills", kOperator, OpenRefill},
    {kGet, "/v1/refills/{id}", kApp, GetRefill},
    {kPost, "/v1/refills/{id}/close", kOperator, CloseRefill},
    {kPost, "/v1/collections", kOperator, Collect},
    {kPost, "/v1/display", kApp, Display},
    {kPost, "/v1/beep", kApp, Beep},
    {kPost, "/v1/unit/reset", kOperator, ResetUnit},
    {kGet, "/v1/incidents", kApp, ListIncidents},
    {kPost, "/v1/incidents/{id}/resolve", kOperator, ResolveIncident},
    {kPost, "/v1/virtual/coins", kApp, InsertCoin},
    {kPost, "/v1/virtual/notes", kApp, InsertNote},
    {kPost, "/v1/virtual/faults", kApp, VirtualFault},
    {kGet, "/v1/virtual/money", kApp, VirtualMoney},
};

// Whether `path` is served by the route's `pattern`, and the id in it. A
// loose match takes any text for the id: the token a path like the
// route's needs is the route's, whatever stands for the id.
bool Matches(std::string_view pattern, std::string_view path, int64_t *id,
             bool loose) {
  size_t brace = pattern.find("{id}");
  if (brace == std::string_view::npos) return pattern == path;
  std::string_view prefix = pattern.substr(0, brace);
  std::string_view suffix = pattern.substr(brace + 4);
  if (!path.starts_with(prefix)) return false;
  if (loose) return path.ends_with(suffix);
  const char *begin = path.data() + prefix.size();
  const char *end = path.data() + path.size();
  auto [p, ec] = std::from_chars(begin, end, *id);
  return ec == std::errc() && p != begin && *id > 0 &&
         std::string_view(p, end - p) == suffix;
}

// Whether `p` names one of the page's files: one plain name (lower-case
// letters, digits, dashes) in the page's folder with the extension of a
// page, a script module or a style sheet, so nothing outside the folder
// and nothing but the page's own kinds of file is ever read.
bool PageName(std::string_view p) {
  if (p.size() < 2 || p[0] != '/') return false;
  std::string_view name = p.substr(1);
  size_t dot = name.find('.');
  if (dot == 0 || dot == std::string_view::npos) return false;
  std::string_view ext = name.substr(dot);
  if (ext != ".html" && ext != ".js" && ext != ".css") return false;
  for (char c : name.substr(0, dot)) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
  }
  return true;
}

// The operator page, to anyone; it may not be framed by another site
// (clickjacking).
std::optional<Response> PageFile(ServerState &s, const Request &req,
                                 const std::string &p) {
  if (p == "/favicon.ico") return TextResponse(req, 204, "image/x-icon", "");
  if (p != "/" && !PageName(p)) return std::nullopt;
  std::string name = p == "/" ? "/index.html" : p;
  bool ok = false;
  std::string body = ReadFile(s.config.webRoot + name, &ok);
  // A name the folder does not hold is any other path: it needs a token.
  if (!ok) {
    if (p != "/") return std::nullopt;
    return MakeResponse(req, NotFound(p));
  }
  const char *type = name.ends_with(".js")    ? "text/javascript"
                     : name.ends_with(".css") ? "text/css"
                                              : "text/html";
  Response r = TextResponse(req, 200, std::string(type) + "; charset=utf-8",
                            std::move(body));
  r.set("Content-Security-Policy",
        "default-src 'self'; connect-src 'self'; frame-ancestors 'none'");
  return r;
}

}  // namespace

net::awaitable<Response> Dispatch(ServerState &s, const Request &req) {
  Target t = SplitTarget(req.target());
  if (req.method() == http::verb::get) {
    if (auto page = PageFile(s, req, t.path)) co_return std::move(*page);
  }
  Match m;
  m.query = std::move(t.query);
  const Route *route = nullptr;
  std::string allowed;  // the methods of the routes serving the path
  Role need = kApp;     // what a path no route serves needs
  bool served = false;
  for (const Route &r : kRoutes) {
    int64_t id = 0;
    if (Matches(r.path, t.path, &id, false)) {
      if (!served) need = r.need;
      served = true;
      allowed += (allowed.empty() ? "" : ", ") +
                 std::string(http::to_string(r.method));
      if (r.method == req.method() && !route) {
        route = &r;
        m.id = id;
      }
    } else if (!served && Matches(r.path, t.path, &id, true)) {
      need = r.need;
    }
  }
  if (need != kNone) {
    if (auto refused = Authorize(req, need, s.config)) {
      Response r = MakeResponse(req, *refused);
      if (refused->status == 401) {
        r.set(http::field::www_authenticate, "Bearer realm=\"tavod\"");
      }
      co_return r;
    }
  }
  if (!route) {
    co_return MakeResponse(req,
                           served ? WrongMethod(allowed) : NotFound(t.path));
  }
  co_return co_await route->handler(s, req, m);
}

}  // namespace tavod
