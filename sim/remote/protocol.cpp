#include "protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vuremote {
namespace {

bool ReadAll(int fd, uint8_t *out, size_t size) {
  while (size > 0) {
    ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadData(int fd, uint32_t size, std::vector<uint8_t> *data) {
  if (size > kMaxData) return false;
  data->resize(size);
  return size == 0 || ReadAll(fd, data->data(), size);
}

}  // namespace

bool SendAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadRequest(int fd, Request *r) {
  uint8_t h[kRequestHeader];
  if (!ReadAll(fd, h, sizeof h)) return false;
  r->op = Get<uint32_t>(h);
  r->handle = Get<uint64_t>(h + 4);
  r->a = Get<int64_t>(h + 12);
  r->b = Get<int64_t>(h + 20);
  r->c = Get<int64_t>(h + 28);
  return ReadData(fd, Get<uint32_t>(h + 36), &r->data);
}

bool ReadReply(int fd, Reply *r) {
  uint8_t h[kReplyHeader];
  if (!ReadAll(fd, h, sizeof h)) return false;
  r->status = Get<int64_t>(h);
  r->handle = Get<uint64_t>(h + 8);
  r->a = Get<int64_t>(h + 16);
  return ReadData(fd, Get<uint32_t>(h + 24), &r->data);
}

std::string DefaultSocketPath() {
  if (const char *p = std::getenv("TAVOVU_SOCKET"); p && *p) return p;
  if (const char *d = std::getenv("XDG_RUNTIME_DIR"); d && *d) {
    return std::string(d) + "/tavovu.sock";
  }
  return "/tmp/tavovu-" + std::to_string(::getuid()) + ".sock";
}

}  // namespace vuremote
