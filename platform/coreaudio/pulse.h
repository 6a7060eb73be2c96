// The connection to the sound server behind the Core Audio objects (internal
// to platform/): a libpulse context on a threaded main loop, the device
// queries the enumerator needs, the endpoint notifications, and reconnection
// after the server went away.
//
// Locking: every libpulse call is made with the main loop's lock held; the
// callbacks run on the main loop's thread with the lock already held. The
// waiting queries (list, find, default_name) may not be called from a
// libpulse callback: everything the callbacks start is asynchronous and
// finishes in further callbacks.
//
// A server that stops answering (stopped, hung, stuck on a device) is
// treated like one that went away: no caller waits for an answer longer than
// kAnswerTimeoutMs, and once one has not come, the calls fail at once until
// the server answers again. Connecting never waits twice for the same
// silent server: an attempt that has not finished is kept for the next call.
//
// Reconnection: the main loop lives as long as the connection; only the
// context is replaced. When it fails, a timer on the loop tries a new one
// every kRetryMs, and a new context that is ready takes the old one's place,
// so the enumerator and its devices work again. Streams belong to the
// context they were made on and stay failed. A server that is back but names
// a default output it does not list is asked again on a fresh context for a
// few seconds (see sync_step_done).
#pragma once

#include <mmdeviceapi.h>

#include <pulse/pulseaudio.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
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

PulseDevice pulse_device_from(const pa_sink_info& info);
PulseDevice pulse_device_from(const pa_source_info& info);

// L"sink:<name>" or L"source:<name>": what IMMDevice::GetId gives.
std::wstring pulse_endpoint_id(EDataFlow flow, const std::string& name);

class PulseConnection {
  public:
    // Connects without autospawning a server and learns its devices and
    // defaults. The process's first connection waits for that at most
    // kConnectTimeoutMs (a server may still be starting with the desktop);
    // later ones as long as the server goes on answering within
    // kAnswerTimeoutMs, up to kConnectTimeoutMs; none waits while an earlier
    // attempt is still out. Null when no server is there or has answered in time; an
    // attempt still out then is what the next call returns once it is done.
    static std::shared_ptr<PulseConnection> connect();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    static constexpr int kConnectTimeoutMs = 2500;
    // The longest a call waits for one answer of the server.
    static constexpr int kAnswerTimeoutMs = 500;
    // kAnswerTimeoutMs from now, for wait_until.
    static pa_usec_t answer_deadline();
    // How often a lost connection is tried again.
    static constexpr int kRetryMs = 250;
    // How long after a loss a server that names a default output it does
    // not list is asked again on a fresh context (see sync_step_done).
    static constexpr int kSettleMs = 5000;

    void lock() { pa_threaded_mainloop_lock(loop_); }
    void unlock() { pa_threaded_mainloop_unlock(loop_); }
    // Lock held: sleeps until a callback signals.
    void wait() { pa_threaded_mainloop_wait(loop_); }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    // Lock held. The current context; after a reconnection a new one.
    pa_context* context() const { return context_; }

    // Lock held. True while the server connection is up (after a restart:
    // and has told of the default output it names, see sync_step_done).
    bool alive() const;
    // Lock held. False while the server leaves a call unanswered.
    bool answering() const { return answering_; }
    // Lock held: wait() until `deadline` (pa_rtclock_now()'s clock) at the
    // latest. False once it has passed, or while the server isn't answering.
    bool wait_until(pa_usec_t deadline);
    // Lock held. The server did not answer in time: calls fail at once
    // from now on, until it answers a question asked here.
    void not_answering();
    // Lock held: waits for the operation (which may be null, i.e. failed to
    // start) at most kAnswerTimeoutMs and releases it. False when it did
    // not complete: the server went away or did not answer meanwhile.
    bool wait_for(pa_operation* op);

    // Each takes the lock itself. Results: S_OK, E_NOTFOUND (find, defaults),
    // AUDCLNT_E_SERVICE_NOT_RUNNING when the server is gone.
    HRESULT list(EDataFlow flow, std::vector<PulseDevice>& devices);
    HRESULT find(EDataFlow flow, const std::string& name, PulseDevice& device);
    HRESULT default_name(EDataFlow flow, std::string& name);

    // Notification clients; each takes the lock itself, so once a call
    // returns no call of a removed client is running or will come.
    // add_client: S_OK, also for a client already there (held once).
    // remove_client: E_NOTFOUND for a client that is not there.
    HRESULT add_client(IMMNotificationClient* client);
    HRESULT remove_client(IMMNotificationClient* client);
    void remove_all_clients();

    // Lock held. A stream that may not move ends with its device, as on
    // Windows. The PulseAudio daemon ends it; PipeWire's session manager
    // (WirePlumber 0.5) leaves it unlinked, silent and alive. So the
    // connection ends a ready stream itself when the server reports its
    // device removed, and the stream fails as the daemon would have made it.
    void end_with_device(pa_stream* stream, EDataFlow flow);
    void forget_stream(pa_stream* stream);

  private:
    PulseConnection() = default;

    // What the notifications compare: one sink or non-monitor source.
    struct Endpoint {
        EDataFlow flow = eRender;
        std::string name;
        std::string description;
        DWORD state = DEVICE_STATE_ACTIVE;
    };
    // Sinks and sources are numbered separately by the server.
    using EndpointKey = std::pair<EDataFlow, uint32_t>;
    using Endpoints = std::map<EndpointKey, Endpoint>;

    // A connection whose context is connecting on its running loop.
    static std::shared_ptr<PulseConnection> start();
    static void on_answer(pa_context*, const pa_server_info* info, void* userdata);
    // The context's life (coreaudio/pulse.cpp), all on the loop thread.
    static void on_state(pa_context* context, void* userdata);
    static void on_attempt_state(pa_context* context, void* userdata);
    static void on_retry(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                         void* userdata);
    void schedule_retry(int ms);
    // Lock held: waits until the context is ready and synced, for as long
    // as the server says something new every `patience_ms` (0: no wait).
    bool wait_connected(int patience_ms);
    void drop_attempt();
    void adopt_attempt();

    // Tracking the endpoints and telling the clients (coreaudio/notify.cpp).
    // Lock held for all.
    void watch();
    void lost();
    static void on_event(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                         void* userdata);
    // A sink's or a source's answer (Info: pa_sink_info, pa_source_info):
    // to the listing, which ends with a step of the sync, or to an event.
    template <typename Info>
    static void on_device_list(pa_context*, const Info* info, int eol, void* userdata);
    template <typename Info>
    static void on_device_event(pa_context*, const Info* info, int eol, void* userdata);
    static void on_server_list(pa_context*, const pa_server_info* info, void* userdata);
    static void on_server_event(pa_context*, const pa_server_info* info, void* userdata);
    void sync_step_done();
    bool default_listed() const;
    void seen(const PulseDevice& device);
    void gone(EDataFlow flow, uint32_t index);
    void end_streams_of(EDataFlow flow, uint32_t index);
    void defaults_seen(const pa_server_info& info);
    void report_added(const Endpoint& endpoint);
    void report_removed(const Endpoint& endpoint);
    void report_changes(const Endpoint& before, const Endpoint& now);
    void report_default(EDataFlow flow, const std::string& name);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    // The server connected to first: a restarted one is found there again,
    // whatever PULSE_SERVER says by then.
    std::string server_;
    bool established_ = false; // connect() has succeeded
    bool watching_ = false;    // connect(): the listing has been asked for
    pa_usec_t started_ = 0;    // connect(): when the first context was made
    bool answering_ = true;    // see not_answering
    pa_usec_t lost_at_ = 0;    // when the server was last lost
    bool unsettled_ = false;   // back, without its default output
    pa_context* attempt_ = nullptr;
    pa_time_event* retry_ = nullptr;

    std::vector<IMMNotificationClient*> clients_;
    std::vector<std::pair<pa_stream*, EDataFlow>> device_streams_; // see end_with_device
    // The endpoints and defaults as last reported. While a new context
    // learns them (synced_ false), `before_` keeps what the clients knew, to
    // tell them the difference at the end.
    Endpoints endpoints_;
    Endpoints before_;
    std::string default_sink_;
    std::string default_source_;
    bool synced_ = false;
    int sync_steps_ = 0; // queries of the listing still out
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
