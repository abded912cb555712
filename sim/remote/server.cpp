// tavovu-server: one virtual unit in a process of its own, reached over a
// Unix socket through the remote provider (libtavovu-remote.so). The unit
// outlives the programs that drive it: a service killed in the middle of a
// sale finds the unit as it left it when it starts again, and a developer
// can keep one unit running while trying a page or a tool against it.
//
// Each connection is served by a thread of its own (the model has one lock
// of its own). A connection that goes away has its open handles closed, as
// the bridge's driver closes the handles of a process that dies.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "d2xx.h"
#include "protocol.h"
#include "tavovu.h"

namespace {

using vuremote::Reply;
using vuremote::Request;

FT_HANDLE H(const Request &q) {
  return reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(q.handle));
}

template <typename T>
bool DataAs(const Request &q, T *out) {
  if (q.data.size() != sizeof(T)) return false;
  std::memcpy(out, q.data.data(), sizeof(T));
  return true;
}

template <typename T>
void SetData(Reply *r, const T &value) {
  const auto *p = reinterpret_cast<const uint8_t *>(&value);
  r->data.assign(p, p + sizeof value);
}

Reply Serve(const Request &q, std::set<uint64_t> *handles) {
  Reply r;
  auto dev = static_cast<int>(q.a);
  switch (q.op) {
    case vuremote::kListDevices: {
      auto flags = static_cast<DWORD>(q.b);
      if (flags & FT_LIST_NUMBER_ONLY) {
        DWORD count = 0;
        r.status = FT_ListDevices(&count, nullptr, flags);
        r.a = count;
      } else {
        char text[64] = {};
        r.status = FT_ListDevices(
            reinterpret_cast<void *>(static_cast<uintptr_t>(q.c)), text, flags);
        r.data.assign(text, text + sizeof text);
      }
      break;
    }
    case vuremote::kOpen: {
      FT_HANDLE h = nullptr;
      r.status = FT_Open(dev, &h);
      r.handle = reinterpret_cast<uintptr_t>(h);
      if (r.status == FT_OK) handles->insert(r.handle);
      break;
    }
    case vuremote::kClose:
      r.status = FT_Close(H(q));
      handles->erase(q.handle);
      break;
    case vuremote::kResetDevice:
      r.status = FT_ResetDevice(H(q));
      break;
    case vuremote::kGetDeviceInfo: {
      FT_DEVICE type = 0;
      DWORD id = 0;
      char serial[16] = {}, text[64] = {};
      r.status = FT_GetDeviceInfo(H(q), &type, &id, serial, text, nullptr);
      r.a = type;
      std::string d;
      vuremote::Put(&d, static_cast<uint32_t>(id));
      d.append(serial, sizeof serial);
      d.append(text, sizeof text);
      r.data.assign(d.begin(), d.end());
      break;
    }
    case vuremote::kSetBaudRate:
      r.status = FT_SetBaudRate(H(q), static_cast<ULONG>(q.a));
      break;
    case vuremote::kSetDataCharacteristics:
      r.status = FT_SetDataCharacteristics(H(q), static_cast<UCHAR>(q.a),
                                           static_cast<UCHAR>(q.b),
                                           static_cast<UCHAR>(q.c));
      break;
    case vuremote::kSetFlowControl:
      r.status = FT_SetFlowControl(H(q), static_cast<USHORT>(q.a), 0, 0);
      break;
    case vuremote::kSetChars:
      r.status = FT_SetChars(H(q), 0, 0, 0, 0);
      break;
    case vuremote::kSetTimeouts:
      r.status = FT_SetTimeouts(H(q), static_cast<ULONG>(q.a),
                                static_cast<ULONG>(q.b));
      break;
    case vuremote::kPurge:
      r.status = FT_Purge(H(q), static_cast<ULONG>(q.a));
      break;
    case vuremote::kWrite: {
      DWORD written = 0;
      std::vector<uint8_t> bytes = q.data;
      r.status = FT_Write(H(q), bytes.data(), static_cast<DWORD>(bytes.size()),
                          &written);
      r.a = written;
      break;
    }
    case vuremote::kRead: {
      if (q.a < 0 || q.a > vuremote::kMaxData) {
        r.status = FT_INVALID_PARAMETER;
        break;
      }
      std::vector<uint8_t> bytes(static_cast<size_t>(q.a));
      DWORD got = 0;
      r.status =
          FT_Read(H(q), bytes.data(), static_cast<DWORD>(bytes.size()), &got);
      bytes.resize(got);
      r.data = std::move(bytes);
      break;
    }
    case vuremote::kInsertCoin:
      r.status = vu_insert_coin(dev, static_cast<int>(q.b));
      break;
    case vuremote::kInsertNote:
      r.status = vu_insert_note(dev, static_cast<int>(q.b));
      break;
    case vuremote::kGetState: {
      vu_state s{};
      r.status = vu_get_state(dev, &s);
      SetData(&r, s);
      break;
    }
    case vuremote::kCheckMoney: {
      vu_money_report m{};
      r.status = vu_check_money(dev, &m);
      SetData(&r, m);
      break;
    }
    case vuremote::kJam:
      r.status = vu_jam(dev, static_cast<int>(q.b), static_cast<int>(q.c));
      break;
    case vuremote::kRemoveUnit:
      r.status =
          vu_remove_unit(dev, static_cast<int>(q.b), static_cast<int>(q.c));
      break;
    case vuremote::kPowerFail:
      r.status = vu_power_fail(dev);
      break;
    case vuremote::kAddFault: {
      vu_fault f{};
      r.status = DataAs(q, &f) ? vu_add_fault(dev, &f) : VU_ERR_ARGUMENT;
      break;
    }
    case vuremote::kClearFaults:
      r.status = vu_clear_faults(dev);
      break;
    case vuremote::kSetCoinStock: {
      int counts[4];
      r.status = q.data.size() == sizeof counts
                     ? (std::memcpy(counts, q.data.data(), sizeof counts),
                        vu_set_coin_stock(dev, counts))
                     : VU_ERR_ARGUMENT;
      break;
    }
    case vuremote::kSetNoteStock:
      r.status = vu_set_note_stock(dev, static_cast<int>(q.b));
      break;
    case vuremote::kReset:
      vu_reset();
      handles->clear();
      break;
    case vuremote::kSetTiming: {
      vu_timing t{};
      if (q.data.empty()) {
        vu_set_timing(nullptr);
      } else if (DataAs(q, &t)) {
        vu_set_timing(&t);
      } else {
        r.status = VU_ERR_ARGUMENT;
      }
      break;
    }
    default:
      r.status = VU_ERR_ARGUMENT;
  }
  return r;
}

void Connection(int fd) {
  std::set<uint64_t> handles;
  Request q;
  while (vuremote::ReadRequest(fd, &q)) {
    if (!vuremote::SendAll(fd, vuremote::Encode(Serve(q, &handles)))) break;
  }
  // The driving process has gone: its handles go with it. The unit itself
  // (board, money, a trade in progress) stays as it is.
  for (uint64_t h : handles) {
    FT_Close(reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(h)));
  }
  ::close(fd);
}

std::string g_path;

void Quit(int) {
  ::unlink(g_path.c_str());
  _exit(0);
}

}  // namespace

int main(int argc, char **argv) {
  g_path = vuremote::DefaultSocketPath();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--socket" && i + 1 < argc) {
      g_path = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: tavovu-server [--socket PATH]\n"
                   "Runs one virtual TAVO unit; programs reach it through "
                   "libtavovu-remote.so\n(socket path from TAVOVU_SOCKET, "
                   "default %s).\n",
                   vuremote::DefaultSocketPath().c_str());
      return 2;
    }
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (g_path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "tavovu-server: socket path too long\n");
    return 2;
  }
  std::memcpy(addr.sun_path, g_path.c_str(), g_path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(g_path.c_str());
  // Only this user may drive the unit.
  mode_t old = ::umask(0077);
  int bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  ::umask(old);
  if (fd < 0 || bound != 0 || ::listen(fd, 16) != 0) {
    std::perror("tavovu-server");
    return 1;
  }
  ::signal(SIGTERM, Quit);
  ::signal(SIGINT, Quit);
  std::printf("tavovu-server: virtual unit on %s\n", g_path.c_str());
  std::fflush(stdout);
  for (;;) {
    int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread(Connection, c).detach();
  }
}
