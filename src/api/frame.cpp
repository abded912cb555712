#include "api/frame.h"

std::atomic<uint8_t> ApiBusy{0};
