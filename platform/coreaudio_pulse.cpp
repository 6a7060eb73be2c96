// The sound server connection behind the Core Audio objects.
#include "coreaudio_pulse.h"

#include <audioclient.h>

#include <pulse/rtclock.h>

namespace {

struct ConnectWait {
    PulseConnection* connection;
    bool timed_out = false;
};

void on_context_state(pa_context*, void* userdata) {
    static_cast<PulseConnection*>(userdata)->signal();
}

void on_connect_timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* wait = static_cast<ConnectWait*>(userdata);
    wait->timed_out = true;
    wait->connection->signal();
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

PulseDevice device_from(const pa_sink_info& info) {
    PulseDevice d = device_common(info, eRender);
    d.monitor_source = info.monitor_source_name ? info.monitor_source_name : "";
    return d;
}

PulseDevice device_from(const pa_source_info& info) {
    PulseDevice d = device_common(info, eCapture);
    d.is_monitor = info.monitor_of_sink != PA_INVALID_INDEX;
    return d;
}

struct ListResult {
    PulseConnection* connection;
    std::vector<PulseDevice>* devices;
};

void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* result = static_cast<ListResult*>(userdata);
    if (eol == 0 && info != nullptr) {
        result->devices->push_back(device_from(*info));
    } else {
        result->connection->signal();
    }
}

void on_source_info(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* result = static_cast<ListResult*>(userdata);
    if (eol == 0 && info != nullptr) {
        result->devices->push_back(device_from(*info));
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

std::shared_ptr<PulseConnection> PulseConnection::connect() {
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
    pa_context_set_state_callback(c->context_, on_context_state, c.get());
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return nullptr;
    }
    if (pa_threaded_mainloop_start(c->loop_) < 0) {
        return nullptr;
    }
    PulseLock lock(*c);
    // A server that accepts the socket but never answers must not hang us.
    ConnectWait wait{c.get()};
    pa_time_event* timer =
        pa_context_rttime_new(c->context_, pa_rtclock_now() + kConnectTimeoutMs * PA_USEC_PER_MSEC,
                              on_connect_timeout, &wait);
    pa_context_state_t state = pa_context_get_state(c->context_);
    while (PA_CONTEXT_IS_GOOD(state) && state != PA_CONTEXT_READY && !wait.timed_out) {
        c->wait();
        state = pa_context_get_state(c->context_);
    }
    if (timer != nullptr) {
        api->time_free(timer);
    }
    if (state != PA_CONTEXT_READY) {
        return nullptr; // the destructor disconnects (it takes the lock after this one goes)
    }
    return c;
}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr) {
        return;
    }
    if (context_ != nullptr) {
        lock();
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
        unlock();
    }
    // Stopping needs the lock free: the loop thread takes it to finish.
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::alive() const {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::wait_for(pa_operation* op) {
    if (op == nullptr) {
        return false;
    }
    // A dying context cancels its operations and calls the state callback,
    // which wakes us, so this loop ends when the server goes away.
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!alive()) {
            pa_operation_cancel(op);
            break;
        }
        wait();
    }
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done;
}

HRESULT PulseConnection::list(EDataFlow flow, std::vector<PulseDevice>& devices) {
    devices.clear();
    PulseLock lock(*this);
    if (!alive()) {
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
    if (!alive()) {
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
    if (!alive()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    ServerResult result{this, {}, {}};
    if (!wait_for(pa_context_get_server_info(context_, on_server_info, &result))) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    name = flow == eRender ? result.sink : result.source;
    return name.empty() ? E_NOTFOUND : S_OK;
}
