// What the link found out about a USB serial adapter's latency, and how it
// is told.
#include "link/adapter_latency.h"

#include <mutex>

namespace {

std::mutex latencyLock;
AdapterLatency lastLatency;

}  // namespace

AdapterLatency lastAdapterLatency() {
  std::lock_guard<std::mutex> hold(latencyLock);
  return lastLatency;
}

void noteAdapterLatency(const AdapterLatency& latency) {
  std::lock_guard<std::mutex> hold(latencyLock);
  lastLatency = latency;
}

std::string adapterLatencyNote(const std::string& device, const AdapterLatency& latency) {
  if (latency.lowLatency == LowLatency::NotAnAdapter) return "";
  std::string note = device + ": low-latency mode ";
  if (latency.lowLatency == LowLatency::Granted) {
    note += "granted";
  } else {
    const std::string why = systemErrorText(latency.systemError);
    note += why.empty() ? "refused by the driver" : "refused (" + why + ")";
  }
  if (latency.timerMs < 0) return note;
  note += "; the adapter's latency timer is " + std::to_string(latency.timerMs) + " ms";
  if (latency.timerMs > 1) {
    note += ": for faster programming, `echo 1 | sudo tee " + latency.timerFile + "`";
  }
  return note;
}
