// The emulation's environment switches, read into one snapshot.
#include "hostcuda/hostcuda.h"
#include "hostcuda/internal.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace hostcuda::internal {

long long env_ll(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long long r = std::strtoll(v, &end, 10);
  return (end == v) ? fallback : r;
}

int device_count() { return hostcuda::settings().device_count; }

}  // namespace hostcuda::internal

namespace {

using hostcuda::internal::env_ll;

// The snapshot behind hostcuda::settings(). Never destroyed: a thread still in
// a runtime call while the process exits may read it.
struct SettingsStore {
  std::mutex mutex;
  hostcuda::Settings values;
  bool refreshed_by_caller = false;
  long long launches = 0;  // since the last refresh or change of the switch
  long long launch_switch = -1;
  // Mirror of values.defer once a caller refreshes, so the per-call check of
  // HOSTCUDA_DEFER costs one load, not the lock and a copy of the snapshot.
  std::atomic<int> defer{-1};  // -1: not refreshed yet, read the environment
};

SettingsStore& settings_store() {
  static SettingsStore* store = new SettingsStore();
  return *store;
}

hostcuda::Settings read_environment() {
  hostcuda::Settings s;
  s.device_count = static_cast<int>(env_ll("HOSTCUDA_DEVICE_COUNT", 1));
  s.memory_bytes = env_ll("HOSTCUDA_MEMORY_BYTES", -1);
  s.host_register_fails = env_ll("HOSTCUDA_HOST_REGISTER_FAILS", 0) != 0;
  const char* trace = std::getenv("HOSTCUDA_TRACE");
  if (trace != nullptr) s.trace_path = trace;
  s.launches_before_failure = env_ll("HOSTCUDA_FAIL_LAUNCH_AFTER", -1);
  s.gpu_geometry = env_ll("HOSTCUDA_GPU_GEOMETRY", 0) != 0;
  s.defer = env_ll("HOSTCUDA_DEFER", 0) != 0;
  s.threads = env_ll("HOSTCUDA_THREADS", static_cast<long long>(std::thread::hardware_concurrency()));
  s.spin = env_ll("HOSTCUDA_SPIN", 1) != 0;
  return s;
}

}  // namespace

void hostcuda::refresh_settings() {
  Settings fresh = read_environment();
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.values = std::move(fresh);
  store.refreshed_by_caller = true;
  store.launches = 0;
  store.defer.store(store.values.defer ? 1 : 0, std::memory_order_relaxed);
}

bool hostcuda::internal::defer_enabled() {
  const int known = settings_store().defer.load(std::memory_order_relaxed);
  if (known >= 0) return known != 0;
  return env_ll("HOSTCUDA_DEFER", 0) != 0;
}

bool hostcuda::internal::next_launch_fails() {
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (!store.refreshed_by_caller) store.values = read_environment();
  const long long allowed = store.values.launches_before_failure;
  if (allowed != store.launch_switch) {
    store.launch_switch = allowed;
    store.launches = 0;
  }
  return allowed >= 0 && store.launches++ >= allowed;
}

hostcuda::Settings hostcuda::settings() {
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  // Programs without a caller that refreshes (the self-test) see the
  // environment as it is now.
  if (!store.refreshed_by_caller) store.values = read_environment();
  return store.values;
}

bool hostcuda::gpu_geometry() {
  SettingsStore& store = settings_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (!store.refreshed_by_caller) store.values = read_environment();
  return store.values.gpu_geometry;
}
