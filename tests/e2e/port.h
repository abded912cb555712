// A D2XX port on the virtual unit, driven frame by frame as the library
// would, for the tests of the model itself.
#ifndef TAVOCTL_TESTS_E2E_PORT_H
#define TAVOCTL_TESTS_E2E_PORT_H

#include <cstdint>
#include <vector>

#include "d2xx.h"
#include "request_frame.h"

using Bytes = std::vector<uint8_t>;

// The request frame: command, complement, and length, payload and check byte
// when there is a payload.

class Port {
 public:
  // Opens device `index` and sets the line up as the library does.
  explicit Port(int index = 0, bool configure = true);
  ~Port();
  bool ok() const { return handle_ != nullptr; }
  FT_HANDLE handle() const { return handle_; }

  // Purges, writes the frame and reads everything the unit sent back.
  Bytes Exchange(const Bytes &frame);
  Bytes Exchange(uint8_t command, const Bytes &payload = {}) {
    return Exchange(Frame(command, payload));
  }
  // Reads up to `count` bytes, as one FT_Read.
  Bytes Read(uint32_t count);

 private:
  FT_HANDLE handle_ = nullptr;
};

// The items of a data-carrying reply (status, length, data, check), each as
// tag + value; an StItem's data is one item. Empty when the check fails.
struct ParsedReply {
  uint8_t status = 0;
  bool checkOk = false;
  std::vector<Bytes> items;
  const Bytes *Find(uint8_t tag) const;
};
ParsedReply Parse(const Bytes &reply);

#endif  // TAVOCTL_TESTS_E2E_PORT_H
