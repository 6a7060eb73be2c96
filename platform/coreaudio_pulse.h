// The connection to the sound server behind the Core Audio objects (internal
// to platform/): a libpulse context on a threaded main loop, and the device
// queries the enumerator needs.
//
// Locking: every libpulse call is made with the main loop's lock held; the
// callbacks run on the main loop's thread with the lock already held and only
// record results and wake the waiter. Nothing here may be called from a
// libpulse callback.
#pragma once

#include <mmdeviceapi.h>

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>
#include <vector>

// A sink (render) or source (capture) as the server described it when asked.
struct PulseDevice {
    EDataFlow flow = eRender;
    std::string name; // the server's name, UTF-8
    std::string description;
    uint32_t index = PA_INVALID_INDEX;
    uint32_t rate = 0;
    uint32_t channels = 0;
    pa_channel_map map{};       // the device's own speaker positions
    bool is_monitor = false;    // sources only: the monitor of a sink
    std::string monitor_source; // sinks only: the source that records their mix
    DWORD state = DEVICE_STATE_ACTIVE;
};

class PulseConnection {
  public:
    // Connects without autospawning a server, waiting at most
    // kConnectTimeoutMs. Null when no server answers in time.
    static std::shared_ptr<PulseConnection> connect();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    static constexpr int kConnectTimeoutMs = 2500;

    void lock() { pa_threaded_mainloop_lock(loop_); }
    void unlock() { pa_threaded_mainloop_unlock(loop_); }
    // Lock held: sleeps until a callback signals.
    void wait() { pa_threaded_mainloop_wait(loop_); }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    pa_context* context() const { return context_; }

    // Lock held. True while the server connection is up.
    bool alive() const;
    // Lock held: waits for the operation (which may be null, i.e. failed to
    // start) and releases it. False when it did not complete, e.g. because
    // the server went away meanwhile.
    bool wait_for(pa_operation* op);

    // Each takes the lock itself. Results: S_OK, E_NOTFOUND (find, defaults),
    // AUDCLNT_E_SERVICE_NOT_RUNNING when the server is gone.
    HRESULT list(EDataFlow flow, std::vector<PulseDevice>& devices);
    HRESULT find(EDataFlow flow, const std::string& name, PulseDevice& device);
    HRESULT default_name(EDataFlow flow, std::string& name);

  private:
    PulseConnection() = default;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
};

// Lock RAII for the connection's main loop.
class PulseLock {
  public:
    explicit PulseLock(PulseConnection& connection) : connection_(connection) {
        connection_.lock();
    }
    ~PulseLock() { connection_.unlock(); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    PulseConnection& connection_;
};
