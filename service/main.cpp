// tavod: a local payment service for one TAVO unit. A REST API under /v1,
// events on a WebSocket, Prometheus figures on /metrics and an operator page
// at /, all on 127.0.0.1 unless TLS is configured; every sale journaled so
// that none is lost when the service dies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "journal.h"
#include "metrics.h"
#include "server.h"
#include "worker.h"

namespace fs = std::filesystem;
namespace net = boost::asio;

namespace {

// Room the journal keeps to finish the sale under way on a full disk: some
// hundred commits of a few pages each.
constexpr size_t kJournalReserve = 512 * 1024;

constexpr const char *kUsage = R"(usage: tavod [OPTIONS]
Serves one TAVO payment unit on http://127.0.0.1:8080 (REST under /v1,
events on /v1/events, /metrics, the operator page at /).

The unit:
  --virtual               a virtual unit inside the service
  --virtual-server SOCKET the virtual unit of a running tavovu-server
  --provider NAME|PATH    another D2XX provider (default: libtavotty.so, a
                          real unit on a USB-serial port)
Service:
  --listen ADDRESS        address to bind (default 127.0.0.1); any other
                          than loopback needs --tls-cert and --tls-key
  --port N                port (default 8080; 0 picks a free one)
  --tls-cert FILE         PEM certificate chain, with
  --tls-key FILE          its PEM private key: serve HTTPS and WSS
  --host-name NAME        a name clients reach the service by besides the
                          loopback ones (the certificate's; repeatable):
                          any other Host header is refused
  --state-dir DIR         journal and tokens (default $STATE_DIRECTORY, else
                          ~/.local/state/tavod, or tavod-virtual with a
                          virtual unit)
  --web-root DIR          the operator page's files
  --max-websockets N      event clients at once (default 64; the last
                          eighth of them kept for the operator token)
  --max-connections N     HTTP connections at once (default 256, fewer
                          when the open-file limit is low)
  --poll-ms N             status polls during a sale (default 100)
  --fault-timeout-ms N    a sale whose unit stays unreachable this long
                          fails with an incident (default 15000)
  --stop-timeout-ms N     on SIGTERM, time to finish or pay back the sale
                          under way before exiting (default 20000)
  --stock-marks LIST      low and full marks of the stock, value:low:full
                          by commas (default 10:20:80,50:20:80,100:20:80,
                          500:10:60,1000:5:40)
)";

// Reads the token in `path`, or makes one readable by this user only.
bool LoadToken(const fs::path &path, std::string *token, std::string *error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    std::random_device rd;
    std::string t;
    static const char *kHex = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
      unsigned b = rd() & 0xFFu;
      t += kHex[b >> 4];
      t += kHex[b & 15];
    }
    t += '\n';
    bool ok = ::write(fd, t.data(), t.size()) == ssize_t(t.size()) &&
              ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
      *error = "cannot write " + path.string();
      return false;
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path.string();
    return false;
  }
  if (st.st_mode & 077) {
    *error = path.string() + " is readable by others: chmod 600 it";
    return false;
  }
  std::ifstream f(path);
  std::getline(f, *token);
  if (token->size() < 16) {
    *error = path.string() + " holds no token (at least 16 characters)";
    return false;
  }
  return true;
}

fs::path DefaultStateDir(bool isVirtual) {
  if (const char *s = std::getenv("STATE_DIRECTORY"); s && *s) return s;
  fs::path base;
  if (const char *x = std::getenv("XDG_STATE_HOME"); x && *x) {
    base = x;
  } else if (const char *h = std::getenv("HOME"); h && *h) {
    base = fs::path(h) / ".local" / "state";
  } else {
    base = "/var/lib";
  }
  return base / (isVirtual ? "tavod-virtual" : "tavod");
}

std::string DefaultWebRoot() {
  std::string installed = tavod::ExecutableFolder() + "../share/tavod/web";
  if (fs::exists(installed)) return installed;
  return TAVOD_SOURCE_DIR "/web";
}

std::string DefaultOpenapi() {
  std::string installed =
      tavod::ExecutableFolder() + "../share/tavod/openapi.yaml";
  if (fs::exists(installed)) return installed;
  return TAVOD_SOURCE_DIR "/openapi.yaml";
}

}  // namespace

int main(int argc, char **argv) {
  tavod::WorkerOptions wopt;
  tavod::ServerConfig sopt;
  std::string stateDir;
  bool isVirtual = false;
  wopt.provider = "libtavotty.so";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tavod: %s needs a value\n%s", a.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](int lo, int hi) {
      std::string v = value();
      char *end = nullptr;
      long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || n < lo || n > hi) {
        std::fprintf(stderr, "tavod: %s must be a number from %d to %d\n",
                     a.c_str(), lo, hi);
        std::exit(2);
      }
      return static_cast<int>(n);
    };
    if (a == "--virtual") {
      wopt.provider = "libtavovu.so";
      isVirtual = true;
    } else if (a == "--virtual-server") {
      ::setenv("TAVOVU_SOCKET", value().c_str(), 1);
      wopt.provider = "libtavovu-remote.so";
      isVirtual = true;
    } else if (a == "--provider") {
      wopt.provider = value();
    } else if (a == "--listen") {
      sopt.address = value();
    } else if (a == "--port") {
      sopt.port = static_cast<unsigned short>(number(0, 65535));
    } else if (a == "--tls-cert") {
      sopt.tlsCert = value();
    } else if (a == "--tls-key") {
      sopt.tlsKey = value();
    } else if (a == "--host-name") {
      sopt.hostNames.push_back(value());
    } else if (a == "--state-dir") {
      stateDir = value();
    } else if (a == "--web-root") {
      sopt.webRoot = value();
    } else if (a == "--max-websockets") {
      sopt.maxWebSockets = number(1, 10000);
    } else if (a == "--max-connections") {
      sopt.maxConnections = number(8, 100000);
    } else if (a == "--stop-timeout-ms") {
      wopt.stopTimeoutMs = number(0, 3600000);
    } else if (a == "--fault-timeout-ms") {
      wopt.faultTimeoutMs = number(100, 3600000);
    } else if (a == "--poll-ms") {
      wopt.salePollMs = number(10, 10000);
    } else if (a == "--stock-marks") {
      std::string why;
      if (!ParseStockMarks(value(), &wopt.stockMarks, &why)) {
        std::fprintf(stderr, "tavod: --stock-marks: %s\n", why.c_str());
        return 2;
      }
    } else if (a == "--help" || a == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "tavod: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (sopt.tlsCert.empty() != sopt.tlsKey.empty()) {
    std::fprintf(stderr, "tavod: give both --tls-cert and --tls-key\n");
    return 2;
  }
  if (const char *c = std::getenv("TAVOD_TEST_CRASH_AT")) wopt.crashAt = c;
  if (sopt.webRoot.empty()) sopt.webRoot = DefaultWebRoot();
  sopt.openapiPath = DefaultOpenapi();

  fs::path state =
      stateDir.empty() ? DefaultStateDir(isVirtual) : fs::path(stateDir);
  std::error_code ec;
  // A folder made here is the service's own; one that exists keeps its
  // mode (the tokens and the journal are made readable by this user only).
  if (fs::create_directories(state, ec)) {
    fs::permissions(state, fs::perms::owner_all, fs::perm_options::replace, ec);
  }
  std::string error;
  if (!LoadToken(state / "token", &sopt.token, &error) ||
      !LoadToken(state / "operator-token", &sopt.operatorToken, &error) ||
      !LoadToken(state / "metrics-token", &sopt.metricsToken, &error)) {
    std::fprintf(stderr, "tavod: %s\n", error.c_str());
    return 1;
  }
  ::umask(077);
  tavod::Journal journal;
  if (!journal.Open((state / "journal.sqlite").string(), kJournalReserve,
                    &error)) {
    std::fprintf(stderr, "tavod: %s\n", error.c_str());
    return 1;
  }
  if (journal.Faulted()) {
    std::fprintf(stderr,
                 "tavod: no room for the journal's reserve of %zu bytes in "
                 "%s: sales wait until the disk has room\n",
                 kJournalReserve, state.c_str());
  }

  net::io_context io(1), workerIo(1);
  tavod::Metrics metrics;
  tavod::Server *server = nullptr;
  tavod::Worker worker(
      workerIo, journal, metrics, wopt,
      [&server](const std::string &type, boost::json::object data) {
        if (server) server->Publish(type, std::move(data));
      });
  tavod::Server http(io, workerIo, worker, metrics, sopt);
  server = &http;
  if (!http.Listen(&error)) {
    std::fprintf(stderr, "tavod: %s\n", error.c_str());
    return 1;
  }

  // The worker's thread: loads the library, opens the unit, settles a sale
  // left by an earlier run, then polls.
  auto workGuard = net::make_work_guard(workerIo);
  bool started = false;
  net::post(workerIo, [&] {
    started = worker.Start(&error);
    if (!started) {
      std::fprintf(stderr, "tavod: %s\n", error.c_str());
      std::fflush(stderr);
      std::_Exit(1);
    }
  });
  std::thread workerThread([&] { workerIo.run(); });

  net::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](boost::system::error_code ec, int) {
    if (ec) return;
    // The worker finishes the sale under way (or pays it back) while the
    // API still answers, closes the unit (the board stops, acceptance goes
    // off), then both threads end. What the stop time-out leaves is
    // journaled for the next start.
    net::post(workerIo, [&] {
      worker.Stop([&] {
        workGuard.reset();
        workerIo.stop();
        net::post(io, [&] { io.stop(); });
      });
    });
  });

  const char *scheme = sopt.tlsCert.empty() ? "http" : "https";
  std::string host = sopt.address.find(':') != std::string::npos
                         ? "[" + sopt.address + "]"
                         : sopt.address;
  std::printf(
      "tavod: operator page %s://%s:%u/\n"
      "tavod: bearer token in %s, operator token in %s, metrics token in "
      "%s\n"
      "tavod: journal %s\n",
      scheme, host.c_str(), http.Port(), (state / "token").c_str(),
      (state / "operator-token").c_str(), (state / "metrics-token").c_str(),
      (state / "journal.sqlite").c_str());
  std::fflush(stdout);
  io.run();
  workerThread.join();
  return 0;
}
