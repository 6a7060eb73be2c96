// Endpoint notifications: the connection follows the server's sinks, sources
// and defaults through its subscription and tells the registered clients
// what changed.
//
// A "remove" event names only the server's index, so the connection keeps
// every endpoint it knows by index. Nothing here may wait for the server (we
// are on the loop thread): each event starts an asynchronous query, and its
// answer, compared with what we knew, makes the calls. The server answers a
// client's requests in order, so the answer to a query started for an event
// comes after the listing that was asked for before the event.
//
// When the server goes away the clients hear that there are no defaults;
// when a new connection has listed everything, they hear the difference from
// what they knew before, then the defaults (so a client learns the server
// is back even when nothing changed).
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <pulse/rtclock.h>

#include <algorithm>

#include "coreaudio/pulse.h"
#include "kernel/text.h"

namespace {

constexpr ERole kRoles[] = {eConsole, eMultimedia, eCommunications};

// Fire and forget: the answer comes to the callback, or never when the
// context dies first.
void release(pa_operation* op) {
    if (op != nullptr) {
        pa_operation_unref(op);
    }
}

} // namespace

std::wstring pulse_endpoint_id(EDataFlow flow, const std::string& name) {
    std::wstring wide;
    text_wide_from_utf8(name, wide);
    return (flow == eRender ? L"sink:" : L"source:") + wide;
}

HRESULT PulseConnection::add_client(IMMNotificationClient* client) {
    PulseLock lock(*this);
    if (std::find(clients_.begin(), clients_.end(), client) == clients_.end()) {
        client->AddRef();
        clients_.push_back(client);
    }
    return S_OK;
}

HRESULT PulseConnection::remove_client(IMMNotificationClient* client) {
    {
        PulseLock lock(*this);
        auto it = std::find(clients_.begin(), clients_.end(), client);
        if (it == clients_.end()) {
            return E_NOTFOUND;
        }
        clients_.erase(it);
    }
    // Outside the lock: the last reference may run code of the client's.
    client->Release();
    return S_OK;
}

void PulseConnection::remove_all_clients() {
    std::vector<IMMNotificationClient*> clients;
    {
        PulseLock lock(*this);
        clients.swap(clients_);
    }
    for (IMMNotificationClient* client : clients) {
        client->Release();
    }
}

void PulseConnection::watch() {
    endpoints_.clear();
    synced_ = false;
    unsettled_ = false;
    sync_steps_ = 3;
    pa_context_set_subscribe_callback(context_, on_event, this);
    const auto mask = static_cast<pa_subscription_mask_t>(
        PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
    release(pa_context_subscribe(context_, mask, nullptr, nullptr));
    release(pa_context_get_sink_info_list(context_, on_device_list<pa_sink_info>, this));
    release(pa_context_get_source_info_list(context_, on_device_list<pa_source_info>, this));
    release(pa_context_get_server_info(context_, on_server_list, this));
}

void PulseConnection::lost() {
    if (synced_) {
        // The clients knew these; the next connection's listing is compared
        // with them. (Lost again while listing: they still know the same.)
        before_ = std::move(endpoints_);
        synced_ = false;
        default_sink_.clear();
        default_source_.clear();
        report_default(eRender, {});
        report_default(eCapture, {});
    }
    unsettled_ = false;
    endpoints_.clear();
}

template <typename Info>
void PulseConnection::on_device_list(pa_context*, const Info* info, int eol, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (eol == 0 && info != nullptr) {
        self->seen(pulse_device_from(*info));
    } else {
        self->sync_step_done();
    }
}

void PulseConnection::on_server_list(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    if (info != nullptr) {
        self->defaults_seen(*info);
    }
    self->sync_step_done();
}

void PulseConnection::sync_step_done() {
    if (synced_ || --sync_steps_ > 0) {
        return;
    }
    if (established_ && !default_listed() &&
        pa_rtclock_now() < lost_at_ + static_cast<pa_usec_t>(kSettleMs) * PA_USEC_PER_MSEC) {
        // A restarted PipeWire may let a client in before it has its
        // devices, and then tell that client of them late or never
        // (pipewire-pulse 0.3.65 may list none to it and name
        // "@DEFAULT_SINK@" for good). So a default output named but not
        // listed is asked for again on a fresh context, and until one lists
        // it the server counts as not back (alive() is false): no stream is
        // made on this context.
        unsettled_ = true;
        schedule_retry(kRetryMs);
        return;
    }
    synced_ = true;
    signal(); // connect() waits for this
    if (!established_) {
        return; // the first listing: nobody can have registered yet
    }
    // Removals first, so that a device that came back under the same name
    // after a restart is not reported at all.
    auto find_by_name = [](const Endpoints& in, const Endpoint& e) {
        return std::find_if(in.begin(), in.end(), [&](const auto& entry) {
            return entry.second.flow == e.flow && entry.second.name == e.name;
        });
    };
    for (const auto& [key, old] : before_) {
        if (find_by_name(endpoints_, old) == endpoints_.end()) {
            report_removed(old);
        }
    }
    for (const auto& [key, now] : endpoints_) {
        auto old = find_by_name(before_, now);
        if (old == before_.end()) {
            report_added(now);
        } else {
            report_changes(old->second, now);
        }
    }
    before_.clear();
    report_default(eRender, default_sink_);
    report_default(eCapture, default_source_);
}

bool PulseConnection::default_listed() const {
    return default_sink_.empty() ||
           std::any_of(endpoints_.begin(), endpoints_.end(), [this](const auto& entry) {
               return entry.second.flow == eRender && entry.second.name == default_sink_;
           });
}

void PulseConnection::on_event(pa_context* context, pa_subscription_event_type_t type,
                               uint32_t index, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        release(pa_context_get_server_info(context, on_server_event, self));
        return;
    }
    const EDataFlow flow = facility == PA_SUBSCRIPTION_EVENT_SINK ? eRender : eCapture;
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) {
        return;
    }
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        self->end_streams_of(flow, index);
        self->gone(flow, index);
    } else if (flow == eRender) {
        release(
            pa_context_get_sink_info_by_index(context, index, on_device_event<pa_sink_info>, self));
    } else {
        release(pa_context_get_source_info_by_index(context, index, on_device_event<pa_source_info>,
                                                    self));
    }
}

// An error (eol < 0) means the device went before the answer; its removal
// event follows.
template <typename Info>
void PulseConnection::on_device_event(pa_context*, const Info* info, int eol, void* userdata) {
    if (eol == 0 && info != nullptr) {
        static_cast<PulseConnection*>(userdata)->seen(pulse_device_from(*info));
    }
}

void PulseConnection::on_server_event(pa_context*, const pa_server_info* info, void* userdata) {
    if (info != nullptr) {
        static_cast<PulseConnection*>(userdata)->defaults_seen(*info);
    }
}

void PulseConnection::seen(const PulseDevice& device) {
    if (device.is_monitor) {
        return; // not an endpoint, as in EnumAudioEndpoints
    }
    Endpoint now{device.flow, device.name, device.description, device.state};
    auto [it, added] = endpoints_.try_emplace(EndpointKey{device.flow, device.index}, now);
    if (!synced_) {
        it->second = std::move(now);
        return;
    }
    if (added) {
        report_added(it->second);
        return;
    }
    const Endpoint before = std::exchange(it->second, std::move(now));
    report_changes(before, it->second);
}

void PulseConnection::end_with_device(pa_stream* stream, EDataFlow flow) {
    device_streams_.emplace_back(stream, flow);
}

void PulseConnection::forget_stream(pa_stream* stream) {
    std::erase_if(device_streams_, [stream](const auto& entry) { return entry.first == stream; });
}

void PulseConnection::end_streams_of(EDataFlow flow, uint32_t index) {
    // A loopback records a monitor: the sink's removal removes it too.
    for (const auto& [stream, of] : device_streams_) {
        if (of == flow && pa_stream_get_device_index(stream) == index &&
            pa_stream_get_state(stream) == PA_STREAM_READY) {
            pa_stream_disconnect(stream);
        }
    }
}

void PulseConnection::gone(EDataFlow flow, uint32_t index) {
    auto it = endpoints_.find(EndpointKey{flow, index});
    if (it == endpoints_.end()) {
        return; // a monitor, or one that came and went unseen
    }
    const Endpoint endpoint = std::move(it->second);
    endpoints_.erase(it);
    if (synced_) {
        report_removed(endpoint);
    }
}

void PulseConnection::defaults_seen(const pa_server_info& info) {
    std::string sink = info.default_sink_name ? info.default_sink_name : "";
    std::string source = info.default_source_name ? info.default_source_name : "";
    const bool sink_changed = sink != default_sink_;
    const bool source_changed = source != default_source_;
    default_sink_ = std::move(sink);
    default_source_ = std::move(source);
    // While listing, the end of the listing reports both.
    if (!synced_) {
        return;
    }
    if (sink_changed) {
        report_default(eRender, default_sink_);
    }
    if (source_changed) {
        report_default(eCapture, default_source_);
    }
}

void PulseConnection::report_added(const Endpoint& endpoint) {
    const std::wstring id = pulse_endpoint_id(endpoint.flow, endpoint.name);
    for (IMMNotificationClient* client : clients_) {
        client->OnDeviceAdded(id.c_str());
    }
    for (IMMNotificationClient* client : clients_) {
        client->OnDeviceStateChanged(id.c_str(), endpoint.state);
    }
}

void PulseConnection::report_removed(const Endpoint& endpoint) {
    // Gone devices are not remembered, so NOTPRESENT comes right before the
    // removal rather than staying as the device's state.
    const std::wstring id = pulse_endpoint_id(endpoint.flow, endpoint.name);
    for (IMMNotificationClient* client : clients_) {
        client->OnDeviceStateChanged(id.c_str(), DEVICE_STATE_NOTPRESENT);
    }
    for (IMMNotificationClient* client : clients_) {
        client->OnDeviceRemoved(id.c_str());
    }
}

void PulseConnection::report_changes(const Endpoint& before, const Endpoint& now) {
    const std::wstring id = pulse_endpoint_id(now.flow, now.name);
    if (before.state != now.state) {
        for (IMMNotificationClient* client : clients_) {
            client->OnDeviceStateChanged(id.c_str(), now.state);
        }
    }
    if (before.description != now.description) {
        for (IMMNotificationClient* client : clients_) {
            client->OnPropertyValueChanged(id.c_str(), PKEY_Device_FriendlyName);
        }
    }
}

void PulseConnection::report_default(EDataFlow flow, const std::string& name) {
    // The server has one default per direction; Windows tells each role.
    // A monitor as default source is reported as it is, as
    // GetDefaultAudioEndpoint returns it.
    const std::wstring id = name.empty() ? std::wstring() : pulse_endpoint_id(flow, name);
    for (ERole role : kRoles) {
        for (IMMNotificationClient* client : clients_) {
            client->OnDefaultDeviceChanged(flow, role, name.empty() ? nullptr : id.c_str());
        }
    }
}
