// The sound server connection behind the Core Audio objects.
#include "coreaudio/pulse.h"

#include <audioclient.h>

#include <pulse/rtclock.h>

#include <algorithm>
#include <mutex>

namespace {

struct DeadlineWake {
    PulseConnection* connection;
    bool passed = false;
};

void on_deadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* wake = static_cast<DeadlineWake*>(userdata);
    wake->passed = true;
    wake->connection->signal();
}

// An unplugged jack makes its device unavailable, which Windows reports as
// unplugged; a device without ports (virtual ones) is always there.
DWORD state_from_port(const void* active_port, pa_port_available_t available) {
    if (active_port != nullptr && available == PA_PORT_AVAILABLE_NO) {
        return DEVICE_STATE_UNPLUGGED;
    }
    return DEVICE_STATE_ACTIVE;
}

// What sinks and sources have alike; the caller adds what only one has.
template <typename Info> PulseDevice device_common(const Info& info, EDataFlow flow) {
    PulseDevice d;
    d.flow = flow;
    d.name = info.name ? info.name : "";
    d.description = info.description ? info.description : d.name;
    d.index = info.index;
    d.rate = info.sample_spec.rate;
    d.channels = info.sample_spec.channels;
    d.map = info.channel_map;
    d.state = state_from_port(info.active_port, info.active_port ? static_cast<pa_port_available_t>(
                                                                       info.active_port->available)
                                                                 : PA_PORT_AVAILABLE_UNKNOWN);
    return d;
}

struct ListResult {
    PulseConnection* connection;
    std::vector<PulseDevice>* devices;
};

void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* result = static_cast<ListResult*>(userdata);
    if (eol == 0 && info != nullptr) {
        result->devices->push_back(pulse_device_from(*info));
    } else {
        result->connection->signal();
    }
}

void on_source_info(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* result = static_cast<ListResult*>(userdata);
    if (eol == 0 && info != nullptr) {
        result->devices->push_back(pulse_device_from(*info));
    } else {
        result->connection->signal();
    }
}

struct ServerResult {
    PulseConnection* connection;
    std::string sink;
    std::string source;
};

void on_server_info(pa_context*, const pa_server_info* info, void* userdata) {
    auto* result = static_cast<ServerResult*>(userdata);
    if (info != nullptr) {
        result->sink = info->default_sink_name ? info->default_sink_name : "";
        result->source = info->default_source_name ? info->default_source_name : "";
    }
    result->connection->signal();
}

} // namespace

PulseDevice pulse_device_from(const pa_sink_info& info) {
    PulseDevice d = device_common(info, eRender);
    d.monitor_source = info.monitor_source_name ? info.monitor_source_name : "";
    return d;
}

PulseDevice pulse_device_from(const pa_source_info& info) {
    PulseDevice d = device_common(info, eCapture);
    d.is_monitor = info.monitor_of_sink != PA_INVALID_INDEX;
    return d;
}

std::shared_ptr<PulseConnection> PulseConnection::start() {
    std::shared_ptr<PulseConnection> c(new PulseConnection());
    c->loop_ = pa_threaded_mainloop_new();
    if (c->loop_ == nullptr) {
        return nullptr;
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(c->loop_);
    c->context_ = pa_context_new(api, "Sonaret");
    if (c->context_ == nullptr) {
        return nullptr;
    }
    pa_context_set_state_callback(c->context_, on_state, c.get());
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return nullptr;
    }
    c->started_ = pa_rtclock_now();
    if (pa_threaded_mainloop_start(c->loop_) < 0) {
        return nullptr;
    }
    return c;
}

std::shared_ptr<PulseConnection> PulseConnection::connect() {
    static std::mutex mutex;
    static std::shared_ptr<PulseConnection> pending; // an attempt still out
    static int wait_ms = kConnectTimeoutMs;          // the first call's
    std::lock_guard<std::mutex> guard(mutex);
    std::shared_ptr<PulseConnection> c = std::move(pending);
    // Waiting is for a server that may answer: not for one that left an
    // attempt unanswered already, only for a fresh try after it failed.
    bool wait = true;
    if (c != nullptr) {
        bool drop = false;
        {
            PulseLock lock(*c);
            wait = drop = !PA_CONTEXT_IS_GOOD(pa_context_get_state(c->context_));
            // One unanswered for long is tried afresh, in case the server
            // was restarted meanwhile.
            drop = drop || (!c->synced_ &&
                            pa_rtclock_now() - c->started_ >=
                                static_cast<pa_usec_t>(kConnectTimeoutMs) * PA_USEC_PER_MSEC);
        }
        if (drop) {
            c.reset(); // the destructor takes the lock
        }
    }
    int patience_ms = 0;
    if (c == nullptr) {
        c = start();
        if (c == nullptr) {
            return nullptr; // no loop or context to be had
        }
        if (wait) {
            patience_ms = wait_ms;
            wait_ms = kAnswerTimeoutMs;
        }
    }
    bool ready = false;
    bool failed = false;
    {
        PulseLock lock(*c);
        ready = c->wait_connected(patience_ms);
        failed = !PA_CONTEXT_IS_GOOD(pa_context_get_state(c->context_));
    }
    if (ready) {
        return c;
    }
    if (!failed) {
        pending = std::move(c);
    }
    return nullptr;
}

bool PulseConnection::wait_connected(int patience_ms) {
    // A server that goes on answering (one just started, or busy) may take
    // until kConnectTimeoutMs after the attempt began; one that has said
    // nothing new for `patience_ms` is not waited for any longer.
    const pa_usec_t limit = started_ + static_cast<pa_usec_t>(kConnectTimeoutMs) * PA_USEC_PER_MSEC;
    const pa_usec_t patience = static_cast<pa_usec_t>(patience_ms) * PA_USEC_PER_MSEC;
    pa_usec_t deadline = std::min(pa_rtclock_now() + patience, limit);
    pa_context_state_t state = pa_context_get_state(context_);
    int steps = sync_steps_;
    // Ready, and the devices and defaults known, so that a client registered
    // right after this hears of every change from then on.
    while (PA_CONTEXT_IS_GOOD(state) && !synced_) {
        if (state == PA_CONTEXT_READY && !watching_) {
            watching_ = true;
            const char* server = pa_context_get_server(context_);
            server_ = server ? server : "";
            watch();
        } else if (!wait_until(deadline)) {
            return false;
        }
        const pa_context_state_t now = pa_context_get_state(context_);
        if (patience > 0 && (now != state || sync_steps_ != steps)) {
            deadline = std::min(pa_rtclock_now() + patience, limit);
        }
        state = now;
        steps = sync_steps_;
    }
    established_ = state == PA_CONTEXT_READY && synced_;
    return established_;
}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr) {
        return;
    }
    std::vector<IMMNotificationClient*> clients;
    lock();
    clients.swap(clients_);
    if (retry_ != nullptr) {
        pa_threaded_mainloop_get_api(loop_)->time_free(retry_);
        retry_ = nullptr;
    }
    drop_attempt();
    if (context_ != nullptr) {
        // Disconnecting cancels the operations still out, so none of their
        // callbacks comes after this.
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    unlock();
    // Stopping needs the lock free: the loop thread takes it to finish.
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    for (IMMNotificationClient* client : clients) {
        client->Release();
    }
}

void PulseConnection::on_state(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    // Wakes connect() and every call waiting for an answer that will not come.
    self->signal();
    if (self->established_ && context == self->context_ &&
        !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        // The dead context stays until a new one replaces it: libpulse still
        // uses it as this callback returns, and its streams' owners look at
        // it to tell a lost server from a lost device.
        self->lost_at_ = pa_rtclock_now();
        self->lost();
        self->schedule_retry(kRetryMs);
    }
}

void PulseConnection::schedule_retry(int ms) {
    const pa_usec_t when = pa_rtclock_now() + static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC;
    if (retry_ == nullptr) {
        retry_ = pa_context_rttime_new(context_, when, on_retry, this);
    } else {
        pa_context_rttime_restart(context_, retry_, when);
    }
}

void PulseConnection::on_retry(pa_mainloop_api* api, pa_time_event*, const struct timeval*,
                               void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    // A failed attempt waits for this to be dropped, never inside its own
    // callbacks; one still connecting has taken too long.
    self->drop_attempt();
    self->attempt_ = pa_context_new(api, "Sonaret");
    if (self->attempt_ == nullptr) {
        self->schedule_retry(kRetryMs);
        return;
    }
    // Before connecting: a refused connection fails at once, from inside
    // pa_context_connect, and then asks for the next try itself.
    self->schedule_retry(kConnectTimeoutMs);
    pa_context_set_state_callback(self->attempt_, on_attempt_state, self);
    if (pa_context_connect(self->attempt_, self->server_.empty() ? nullptr : self->server_.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        self->schedule_retry(kRetryMs);
    }
}

void PulseConnection::on_attempt_state(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (context != self->attempt_) {
        return;
    }
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        self->adopt_attempt();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        self->schedule_retry(kRetryMs);
    }
}

void PulseConnection::drop_attempt() {
    if (attempt_ == nullptr) {
        return;
    }
    pa_context_set_state_callback(attempt_, nullptr, nullptr);
    pa_context_disconnect(attempt_);
    pa_context_unref(attempt_);
    attempt_ = nullptr;
}

void PulseConnection::adopt_attempt() {
    pa_context_rttime_restart(context_, retry_, PA_USEC_INVALID);
    // The old context failed, so its streams have let go of it already; or
    // it lists no default output after a restart, and none was made on it
    // (sync_step_done).
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = attempt_;
    attempt_ = nullptr;
    pa_context_set_state_callback(context_, on_state, this);
    answering_ = true; // a new server, or the old one answering again
    watch();
    signal();
}

bool PulseConnection::alive() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY && !unsettled_;
}

pa_usec_t PulseConnection::answer_deadline() {
    return pa_rtclock_now() + static_cast<pa_usec_t>(kAnswerTimeoutMs) * PA_USEC_PER_MSEC;
}

bool PulseConnection::wait_until(pa_usec_t deadline) {
    if (!answering_ || pa_rtclock_now() >= deadline) {
        return false;
    }
    DeadlineWake wake{this};
    pa_time_event* timer = pa_context_rttime_new(context_, deadline, on_deadline, &wake);
    if (timer == nullptr) {
        return false;
    }
    wait();
    pa_threaded_mainloop_get_api(loop_)->time_free(timer);
    return !wake.passed;
}

void PulseConnection::not_answering() {
    if (!answering_ || !alive()) {
        return;
    }
    // Any answer will do; the server's description is the smallest question.
    pa_operation* probe = pa_context_get_server_info(context_, on_answer, this);
    if (probe != nullptr) {
        answering_ = false;
        pa_operation_unref(probe);
    }
}

void PulseConnection::on_answer(pa_context*, const pa_server_info*, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    self->answering_ = true;
    self->signal();
}

bool PulseConnection::wait_for(pa_operation* op) {
    if (op == nullptr) {
        return false;
    }
    // A dying context cancels its operations and calls the state callback,
    // which wakes us, so this loop ends when the server goes away.
    const pa_usec_t deadline = answer_deadline();
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!alive()) {
            pa_operation_cancel(op);
            break;
        }
        if (!wait_until(deadline) && pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(op);
            not_answering();
            break;
        }
    }
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

HRESULT PulseConnection::list(EDataFlow flow, std::vector<PulseDevice>& devices) {
    devices.clear();
    PulseLock lock(*this);
    if (!alive() || !answering_) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    ListResult result{this, &devices};
    pa_operation* op = flow == eRender
                           ? pa_context_get_sink_info_list(context_, on_sink_info, &result)
                           : pa_context_get_source_info_list(context_, on_source_info, &result);
    if (!wait_for(op)) {
        devices.clear();
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    return S_OK;
}

HRESULT PulseConnection::find(EDataFlow flow, const std::string& name, PulseDevice& device) {
    std::vector<PulseDevice> found;
    PulseLock lock(*this);
    if (!alive() || !answering_) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    ListResult result{this, &found};
    pa_operation* op =
        flow == eRender
            ? pa_context_get_sink_info_by_name(context_, name.c_str(), on_sink_info, &result)
            : pa_context_get_source_info_by_name(context_, name.c_str(), on_source_info, &result);
    // A name the server does not know completes the operation with an error
    // and no entry.
    if (!wait_for(op)) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    if (found.empty() || found.front().name != name) {
        return E_NOTFOUND;
    }
    device = found.front();
    return S_OK;
}

HRESULT PulseConnection::default_name(EDataFlow flow, std::string& name) {
    PulseLock lock(*this);
    if (!alive() || !answering_) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    ServerResult result{this, {}, {}};
    if (!wait_for(pa_context_get_server_info(context_, on_server_info, &result))) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    name = flow == eRender ? result.sink : result.source;
    return name.empty() ? E_NOTFOUND : S_OK;
}
