// The virtual unit's own API: configuration, the customer, faults, read
// back, time and trace.
#include <cstring>

#include "devices.h"

using vu::Device;
using vu::DeviceAt;
using vu::G;
using vu::Lock;
using vu::Now;
using vu::Timed;

extern "C" {

void vu_default_config(vu_device_config *config) {
  if (!config) return;
  *config = vu_device_config{};
  config->device_id = 0x16C91003;
  config->device_type = 5;  // the vendor's code for this bridge chip family
  std::strncpy(config->serial, "VIRTUAL00000001", sizeof config->serial);
  std::strncpy(config->description, "TAVO payment unit (virtual)",
               sizeof config->description - 1);
  config->coin_fitted = 1;
  config->note_fitted = 1;
  config->coin_unit_id[0] = 0x43;
  config->coin_unit_id[1] = 0x01;
  config->note_unit_id[0] = 0x4E;
  config->note_unit_id[1] = 0x01;
  for (int &c : config->coin_stock) c = 20;
  config->note_stock = 10;
  config->note_escrow = 1;
  config->payout_polls = 1;
  std::strncpy(config->board_text, "TAVO virtual payment unit, board 1.0",
               sizeof config->board_text - 1);
}

void vu_reset(void) {
  Lock lock(G().mutex);
  vu::Registry &g = G();
  g.devices.clear();
  g.AddDefault();
  g.listFail = FT_OK;
  g.timing = vu_timing{};
  g.virtualUs = 0;
  g.hostLineFreeUs = 0;
  g.trace = nullptr;
  g.traceContext = nullptr;
}

void vu_clear_devices(void) {
  Lock lock(G().mutex);
  G().devices.clear();
}

int vu_add_device(const vu_device_config *config) {
  if (!config) return VU_ERR_ARGUMENT;
  Lock lock(G().mutex);
  auto device = std::make_unique<Device>();
  vu::InitDevice(*device, *config);
  G().devices.push_back(std::move(device));
  return static_cast<int>(G().devices.size()) - 1;
}

int vu_device_count(void) {
  Lock lock(G().mutex);
  return static_cast<int>(G().devices.size());
}

void vu_fail_list(uint32_t status) {
  Lock lock(G().mutex);
  G().listFail = status;
}

int vu_fail_calls(int device, uint32_t calls, uint32_t status) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  d->config.fail_calls = calls;
  d->config.fail_status = status;
  return VU_OK;
}

int vu_fail_call_once(int device, uint32_t calls, int skip, int mode,
                      uint32_t status) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (mode < VU_ONCE_STATUS || mode > VU_ONCE_SHORT || skip < 0)
    return VU_ERR_ARGUMENT;
  d->once.calls = calls;
  d->once.skip = skip;
  d->once.mode = mode;
  d->once.status = status;
  return VU_OK;
}

uint32_t vu_call_count(int device, uint32_t calls) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return 0;
  uint32_t n = 0;
  for (int bit = 0; bit < 32; ++bit) {
    if (calls & (1u << bit)) n += d->calls[bit];
  }
  return n;
}

int vu_insert_coin(int device, int value) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  return d ? vu::InsertCoin(*d, value) : VU_ERR_DEVICE;
}

int vu_insert_note(int device, int value) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  return d ? vu::InsertNote(*d, value) : VU_ERR_DEVICE;
}

int vu_set_coin_stock(int device, const int counts[4]) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!counts) return VU_ERR_ARGUMENT;
  for (int k = 0; k < 4; ++k) {
    if (counts[k] < 0 || counts[k] > vu::kTubeCapacity) return VU_ERR_ARGUMENT;
  }
  for (int k = 0; k < 4; ++k) {
    d->money.loaded[k] += counts[k] - d->coin.stock[k];
    d->coin.stock[k] = counts[k];
  }
  return VU_OK;
}

int vu_set_note_stock(int device, int count) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (count < 0 || count > vu::kNoteCapacity) return VU_ERR_ARGUMENT;
  d->money.loaded[4] += count - d->note.stock;
  d->note.stock = count;
  return VU_OK;
}

int vu_jam(int device, int unit, int on) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (unit == VU_COIN) {
    d->coin.jammed = on != 0;
  } else if (unit == VU_NOTE) {
    d->note.jammed = on != 0;
  } else {
    return VU_ERR_ARGUMENT;
  }
  return VU_OK;
}

int vu_remove_unit(int device, int unit, int on) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (unit == VU_COIN) {
    d->coin.removed = on != 0;
  } else if (unit == VU_NOTE) {
    d->note.removed = on != 0;
  } else {
    return VU_ERR_ARGUMENT;
  }
  return VU_OK;
}

int vu_power_fail(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  vu::PowerFail(*d, Now(), Timed(), G().timing.restart_ms);
  return VU_OK;
}

int vu_add_fault(int device, const vu_fault *fault) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!fault || fault->kind < VU_FAULT_SILENCE || fault->kind > VU_FAULT_CUT) {
    return VU_ERR_ARGUMENT;
  }
  d->faults.push_back(vu::FaultRule{*fault, 0, 0});
  return VU_OK;
}

int vu_return_note(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  return d ? vu::ReturnNote(*d) : VU_ERR_DEVICE;
}

int vu_add_action(int device, const vu_action *action) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!action || action->kind < VU_ACT_INSERT_COIN ||
      action->kind > VU_ACT_REFIT_UNIT) {
    return VU_ERR_ARGUMENT;
  }
  d->actions.push_back(vu::ActionRule{*action, 0, false});
  return VU_OK;
}

int vu_clear_actions(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  d->actions.clear();
  return VU_OK;
}

int vu_clear_faults(int device) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  d->faults.clear();
  return VU_OK;
}

int vu_get_state(int device, vu_state *state) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  if (!state) return VU_ERR_ARGUMENT;
  vu_state s{};
  const vu::Board &b = d->board;
  s.open = d->open;
  s.started = b.started;
  s.restarting = b.restarting;
  std::memcpy(s.clock, b.clock, 7);
  s.dots = b.dots;
  std::memcpy(s.digits, b.digits, 4);
  s.output_port = b.outputPort;
  std::memcpy(s.buzzer, b.buzzer, sizeof s.buzzer);
  s.buzzer_length = b.buzzerLength;
  s.buzzer_commands = b.buzzerCommands;
  std::memcpy(s.meters, b.meters, sizeof s.meters);
  s.backup_stored = b.backupStored;
  s.baud_rate = d->baud;
  s.read_timeout_ms = d->readTimeoutMs;
  s.write_timeout_ms = d->writeTimeoutMs;
  const vu::CoinUnit &c = d->coin;
  s.coin_fitted = c.fitted && !c.removed;
  s.coin_jammed = c.jammed;
  s.coin_accepting = c.accepting;
  for (int k = 0; k < 4; ++k) {
    s.coin_stock[k] = c.stock[k];
    s.coin_in[k] = c.in[k];
    s.coin_out[k] = c.out[k];
  }
  s.coin_payout_running = c.payoutPolls > 0;
  s.coin_status = vu::CoinStatus(c);
  const vu::NoteUnit &n = d->note;
  s.note_fitted = n.fitted && !n.removed;
  s.note_jammed = n.jammed;
  s.note_accepting = n.accepting;
  s.note_stock = n.stock;
  s.note_escrow = n.escrow;
  s.note_out = n.out;
  s.note_payout_running = n.payoutPolls > 0;
  vu::NoteStatus(n, s.note_status);
  s.frames = d->frames;
  std::memcpy(s.frames_by_command, d->framesByCommand,
              sizeof s.frames_by_command);
  *state = s;
  return VU_OK;
}

int vu_check_money(int device, vu_money_report *report) {
  Lock lock(G().mutex);
  Device *d = DeviceAt(device);
  if (!d) return VU_ERR_DEVICE;
  return vu::CheckMoney(*d, report);
}

void vu_set_timing(const vu_timing *timing) {
  Lock lock(G().mutex);
  vu::Registry &g = G();
  g.timing = timing ? *timing : vu_timing{};
  if (g.timing.restart_ms <= 0) g.timing.restart_ms = 1500;
  g.virtualUs = 0;
  g.hostLineFreeUs = 0;
  g.origin = std::chrono::steady_clock::now();
  for (auto &d : g.devices) {
    d->lineFreeUs = 0;
    for (auto &b : d->rx) b.readyUs = 0;
  }
}

uint64_t vu_now_us(void) {
  Lock lock(G().mutex);
  return Now();
}

void vu_set_trace(vu_trace_fn hook, void *context) {
  Lock lock(G().mutex);
  G().trace = hook;
  G().traceContext = context;
}

size_t vu_describe(const vu_trace_event *event, char *text, size_t size) {
  if (!event || !text || size == 0) return 0;
  return vu::Describe(*event, text, size);
}

}  // extern "C"
