// tavo: drives a payment unit through the tavoctl library from the command
// line. Against the virtual unit by default; --provider loads another D2XX
// provider (a real driver) in its place.
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace tavo {
namespace {

struct Command {
  const char *name;
  int (*run)(Tool &);
  const char *synopsis;
  const char *help;
};

const Command kCommands[] = {
    {"demo", Demo, "demo [--price N] [--pay LIST] [--fault NAME] [--trace]",
     "Runs a whole sale on the virtual unit and explains each step: trade\n"
     "begin, accept, a customer paying in notes and coins, charge, change\n"
     "paid back, trade end. Ends with a one-line summary.\n"
     "  --price N     the price (default 1280)\n"
     "  --pay LIST    what the customer inserts, e.g. 1000,500 (default:\n"
     "                notes and coins until the price is covered)\n"
     "  --fault NAME  stage a failure: no-change (the stock cannot pay the\n"
     "                change), jam (the coin unit jams before the change is\n"
     "                paid), silent (the board does not answer), no-device\n"
     "  --trace       show every frame on the wire, decoded\n"
     "Exit 0 only if the sale balanced: money in = price + change, and the\n"
     "unit's stock accounts for every coin and note."},
    {"status", Status, "status",
     "Opens the unit and prints the board record, the live money-unit\n"
     "record and the backup record."},
    {"sell", Sell, "sell PRICE [--pay LIST] [--wait SECONDS]",
     "Sells for PRICE: accepts money, shows the credit as it grows, charges\n"
     "the price and pays the change back. On the virtual unit the customer\n"
     "pays as --pay says (or automatically); on a real unit the tool waits\n"
     "for the customer up to --wait seconds (default 120), then pays back\n"
     "whatever was inserted."},
    {"display", Display, "display NUMBER [--mode M]",
     "Shows NUMBER (0-65535, e.g. 1280 or 0x500) on the unit's four-digit\n"
     "display. Modes: 0 hexadecimal, 1 hexadecimal without leading zeros,\n"
     "2 decimal, 3 decimal without leading zeros (default)."},
    {"beep", Beep, "beep [BYTE...]",
     "Plays a buzzer pattern of up to 32 bytes (default 0x10 0x00 0x10).\n"
     "The board gives the bytes their meaning; the library and the tool\n"
     "pass them through unchanged. A byte 0xFF would end the pattern, so\n"
     "each byte is 0 to 254 (0xFE)."},
    {"reset", ResetBoard, "reset",
     "Stops and resets the board; the unit is closed afterwards. Takes at\n"
     "least one second on a real unit, which is silent while it restarts."},
    {"clear-backup", ClearBackup, "clear-backup",
     "Shows and clears the trade kept in the board's backup memory."},
    {"devices", Devices, "devices",
     "Lists the USB-serial bridges the provider sees: ids, serial number,\n"
     "description and where each sits; marks the units, and says in words\n"
     "why a unit cannot be used (no permission on its device node, the\n"
     "kernel driver bound or missing, opened by another program). Exit 0\n"
     "when at least one unit is ready."},
    {"codes", Codes, "codes [CODE]",
     "Lists every result code of the library (or only CODE, e.g. 0x1375):\n"
     "the code, what the application does next (none, retry, poll,\n"
     "pay-back, read-board, reopen, fix-call, service), the export that\n"
     "returns it and its meaning. Exit 1 for a code no export returns."},
};

const Command *FindCommand(const std::string &name) {
  for (const Command &c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void Usage(FILE *out) {
  std::fprintf(out,
               "usage: tavo [--provider PATH] [--device SERIAL] [--trace] "
               "COMMAND [ARGS]\n"
               "       tavo COMMAND --help\n\n"
               "Drives a TAVO payment unit through the tavoctl library.\n"
               "By default the unit is the virtual one (the provider beside\n"
               "the tool); --provider PATH loads another D2XX provider, a\n"
               "real driver, in its place (on Windows its file name must be\n"
               "FTD2XX.DLL: the library's imports bind to the module of that\n"
               "name that is already loaded). --device SERIAL uses the unit\n"
               "with that serial number when several are attached (with\n"
               "libtavoftdi.so or libtavotty.so; `tavo devices` lists them).\n"
               "\ncommands:\n");
  for (const Command &c : kCommands) std::fprintf(out, "  %s\n", c.synopsis);
  std::fprintf(out,
               "\nexit codes: 0 done (demo, sell: the sale balanced), 1 the "
               "unit\nreturned a failure code, 2 wrong usage, 3 library or "
               "provider\nnot loaded (or the command needs the virtual "
               "unit), 4 the sale\ndid not balance or the customer did not "
               "pay in time.\n");
}

// Returns false with the item that is not an amount in `bad`.
bool ParsePay(const std::string &text, std::vector<int> *pay,
              std::string *bad) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma - start);
    long v;
    if (!ReadNumber(item, 1, 1000, &v)) {
      *bad = item;
      return false;
    }
    pay->push_back(static_cast<int>(v));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !pay->empty();
}

// Returns -1 when parsing went well, else an exit code.
int Parse(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) {
        UsageError(nullptr, "%s needs a value", a.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    // --option NUMBER in [low, high].
    auto number = [&](long low, long high, long *out) {
      std::string text;
      if (!value(&text)) return false;
      if (ReadNumber(text, low, high, out)) return true;
      UsageError(nullptr, "%s must be %ld to %ld, not '%s'", a.c_str(), low,
                 high, text.c_str());
      return false;
    };
    std::string v;
    long n;
    if (a == "--version") {
      std::printf("tavo %s (tavoctl.h %s)\n", TAVO_VERSION,
                  TAVOCTL_VERSION_STRING);
      return kExitOk;
    } else if (a == "--help" || a == "-h") {
      if (!o->command.empty()) {
        const Command *c = FindCommand(o->command);
        std::printf("usage: tavo %s\n\n%s\n", c->synopsis, c->help);
      } else {
        Usage(stdout);
      }
      return kExitOk;
    } else if (a == "--trace") {
      o->trace = true;
    } else if (a == "--provider") {
      if (!value(&o->provider)) return kExitUsage;
    } else if (a == "--device") {
      if (!value(&o->device)) return kExitUsage;
    } else if (a == "--price") {
      if (!number(1, 32767, &n)) return kExitUsage;
      o->price = static_cast<int>(n);
    } else if (a == "--pay") {
      std::string bad;
      if (!value(&v)) return kExitUsage;
      if (!ParsePay(v, &o->pay, &bad)) {
        return UsageError(nullptr,
                          "--pay takes amounts of 1 to 1000 separated by "
                          "commas (e.g. 1000,500,100), not '%s'",
                          bad.c_str());
      }
    } else if (a == "--fault") {
      if (!value(&o->fault)) return kExitUsage;
    } else if (a == "--wait") {
      if (!number(1, 86400, &n)) return kExitUsage;
      o->waitSeconds = static_cast<int>(n);
    } else if (a == "--mode") {
      if (!number(0, 3, &n)) return kExitUsage;
      o->mode = static_cast<int>(n);
    } else if (a.size() > 1 && a[0] == '-' && (a[1] < '0' || a[1] > '9')) {
      std::fprintf(stderr, "tavo: unknown option %s\n", a.c_str());
      return kExitUsage;
    } else if (o->command.empty()) {
      if (a == "help") {
        o->command = "help";
        continue;
      }
      if (!FindCommand(a)) {
        std::fprintf(stderr, "tavo: unknown command %s\n", a.c_str());
        return kExitUsage;
      }
      o->command = a;
    } else if (o->command == "help") {
      const Command *c = FindCommand(a);
      if (!c) return UsageError(nullptr, "unknown command %s", a.c_str());
      std::printf("usage: tavo %s\n\n%s\n", c->synopsis, c->help);
      return kExitOk;
    } else {
      o->args.push_back(a);
    }
  }
  if (o->command == "help") {
    Usage(stdout);
    return kExitOk;
  }
  if (o->command.empty()) {
    std::fprintf(stderr, "tavo: no command given\n");
    Usage(stderr);
    return kExitUsage;
  }
  if (o->fault != "" && o->fault != "no-change" && o->fault != "jam" &&
      o->fault != "silent" && o->fault != "no-device") {
    std::fprintf(stderr, "tavo: unknown fault %s\n", o->fault.c_str());
    return kExitUsage;
  }
  return -1;
}

}  // namespace

bool ReadNumber(const std::string &text, long low, long high, long *out) {
  bool hex =
      text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text.c_str() + (hex ? 2 : 0);
  // strtol would also take a sign, blanks and (base 0) octal: not here.
  if (*digits == 0) return false;
  for (const char *c = digits; *c; ++c) {
    bool ok = hex ? std::isxdigit(static_cast<unsigned char>(*c)) != 0
                  : (*c >= '0' && *c <= '9');
    if (!ok) return false;
  }
  errno = 0;
  long v = std::strtol(digits, nullptr, hex ? 16 : 10);
  if (errno != 0 || v < low || v > high) return false;
  *out = v;
  return true;
}

int UsageError(const char *command, const char *format, ...) {
  std::fprintf(stderr, "tavo: ");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  const Command *c = command ? FindCommand(command) : nullptr;
  if (c) std::fprintf(stderr, "usage: tavo %s\n", c->synopsis);
  return kExitUsage;
}

namespace {

// Loads the provider (the options' path, or the virtual unit) and then the
// library. Both sit beside the tool, or (in a build tree, where the tool has
// a folder of its own) one folder up; elsewhere (installed: bin/tavo and
// lib/) the bare name lets the system's search find them, the tool's run
// path included. On failure returns false with the reason in `error`.
bool Load(Tool *t, std::string *error) {
  std::string folder = tavoload::ExecutableFolder();
  std::string provider = t->options.provider;
  if (provider.empty()) {
    provider =
        tavoload::FindBeside(folder, tavoload::kVirtualUnitName, {"", "../"});
    if (provider.empty()) provider = tavoload::kVirtualUnitName;
  }
  tavoload::Module p = tavoload::Open(provider, tavoload::Scope::kGlobal);
  if (!p) {
    *error = "cannot load the D2XX provider " + provider + ": " +
             tavoload::LastError();
    return false;
  }
  if (const char *ft = tavoload::MissingD2xx(p)) {
    *error = provider + " is not a D2XX provider: it has no " + ft;
    return false;
  }
  std::vector<std::string> tried;
  tavoload::Module lib = tavoload::OpenLibrary(folder, {"", "../"}, &tried);
  if (!lib) {
    *error = "cannot load the tavoctl library beside the tool: ";
    for (size_t i = 0; i < tried.size(); ++i) {
      *error += (i == 0 ? "" : "; ") + tried[i];
    }
    return false;
  }
  if (const char *missing = tavoload::BindExports(lib, &t->lib)) {
    *error = std::string("the tavoctl library does not export ") + missing;
    return false;
  }
  tavoload::BindVirtualUnit(p, &t->vu);
  tavoload::BindBridges(p, &t->bridges);
  return true;
}

}  // namespace
}  // namespace tavo

int main(int argc, char **argv) {
  using namespace tavo;
  Tool tool;
  int parsed = Parse(argc, argv, &tool.options);
  if (parsed >= 0) return parsed;
  const Command *command = FindCommand(tool.options.command);
  if (command->run == Codes) return Codes(tool);

  std::string error;
  if (!Load(&tool, &error)) {
    std::fprintf(stderr, "tavo: %s\n", error.c_str());
    return kExitSetup;
  }
  if (tool.vu.local) {
    // Nothing the virtual unit does moves real money: say so where a
    // person watching the tool cannot miss it.
    std::fprintf(stderr,
                 "tavo: *** VIRTUAL UNIT: a simulation, no real money moves; "
                 "--provider PATH drives a real unit ***\n");
  }
  if (!SelectDevice(tool)) return kExitSetup;
  int result = command->run(tool);
  std::fflush(stdout);
  return result;
}
