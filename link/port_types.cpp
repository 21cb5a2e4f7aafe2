#include "link/port_types.h"

#include <atomic>

namespace {

std::atomic<int> abortRequested{0};

// Platform numbering of parity and stop bits.
constexpr uint8_t NoParity = 0, OddParity = 1, EvenParity = 2;
constexpr uint8_t OneStopBit = 0, OneAndHalfStopBits = 1, TwoStopBits = 2;

}  // namespace

LineState lineStateFor(const SerialSettings& settings) {
  LineState state;
  state.baudRate = static_cast<uint32_t>(settings.baudRate);
  state.byteSize = settings.dataBitsFlag == 0 ? 7 : 8;
  switch (settings.parityCode) {
    case 1:
      state.parity = EvenParity;
      break;
    case 2:
      state.parity = OddParity;
      break;
    default:
      state.parity = NoParity;
      break;
  }
  switch (settings.stopBitsCode) {
    case 1:
      state.stopBits = OneAndHalfStopBits;
      break;
    case 2:
      state.stopBits = TwoStopBits;
      break;
    default:
      state.stopBits = OneStopBit;
      break;
  }
  return state;
}

void requestLinkAbort() {
  abortRequested.store(1);
}
void clearLinkAbort() {
  abortRequested.store(0);
}
bool linkAbortRequested() {
  return abortRequested.load() != 0;
}
