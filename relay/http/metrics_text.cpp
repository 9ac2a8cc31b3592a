#include "relay/http/metrics_text.h"

#include <chrono>
#include <cstdint>
#include <iomanip>
#include <sstream>

#include "relay/http/client_text.h"

namespace kavro::relay {

namespace {

// Writes families one at a time: a family's HELP and TYPE lines, then its samples.
class Exposition {
  public:
    Exposition() { out_ << std::fixed << std::setprecision(3); }
    void family(std::string_view name, std::string_view type, std::string_view help) {
        name_ = name;
        out_ << "# HELP " << name << ' ' << help << '\n';
        out_ << "# TYPE " << name << ' ' << type << '\n';
    }
    template <typename Number>
    void sample(Number value, std::string_view labels = {}) {
        out_ << name_;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << value << '\n';
    }
    // A sample under a name of the family's own (a histogram's _bucket, _sum and _count).
    template <typename Number>
    void sample_named(std::string_view name, Number value, std::string_view labels = {}) {
        out_ << name;
        if (!labels.empty()) out_ << '{' << labels << '}';
        out_ << ' ' << value << '\n';
    }
    std::string text() const { return out_.str(); }

  private:
    std::ostringstream out_;
    std::string name_;
};

std::string label(std::string_view name, std::string_view client_text) {
    return std::string(name) + "=\"" + metric_label_value(client_text) + "\"";
}

}  // namespace

std::string metric_label_value(std::string_view client_text) {
    std::string escaped;
    for (const char c : utf8_from_client_text(client_text)) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string metrics_text(const StatusSnapshot& status) {
    Exposition m;
    const RelayCounters& counters = status.counters;

    m.family("kavro_relay_build_info", "gauge", "The relay's version, as a label; always 1.");
    m.sample(1, label("version", status.version));
    m.family("kavro_relay_uptime_seconds", "gauge", "Seconds since the relay started.");
    m.sample(std::chrono::duration<double>(status.uptime).count());
    m.family("kavro_relay_accepting_connections", "gauge",
             "1 while the relay accepts new connections, 0 when it cannot or is full.");
    m.sample(status.accepting ? 1 : 0);

    m.family("kavro_relay_connections_open", "gauge",
             "Connections open now, by kind: relay clients or HTTP.");
    m.sample(status.relay_connections, "kind=\"relay\"");
    m.sample(status.http_connections, "kind=\"http\"");
    m.family("kavro_relay_connections_max", "gauge", "Connections allowed at once, by kind.");
    m.sample(status.max_connections, "kind=\"relay\"");
    m.sample(status.max_http_connections, "kind=\"http\"");
    m.family("kavro_relay_connections_accepted_total", "counter",
             "Relay client connections accepted.");
    m.sample(counters.connections_accepted);

    m.family("kavro_relay_casts_live", "gauge",
             "Casts listed now, including those waiting for their caster to resume.");
    m.sample(status.casts.size());
    m.family("kavro_relay_casts_awaiting_resume", "gauge",
             "Casts whose caster left and that wait for a resume.");
    m.sample(status.casts_awaiting_resume());
    m.family("kavro_relay_watchers", "gauge", "Watchers of all casts together.");
    m.sample(status.watchers());
    m.family("kavro_relay_cast_watchers", "gauge", "Watchers of each live cast.");
    for (const CastStatus& cast : status.casts) m.sample(cast.watchers, label("cast", cast.name));
    m.family("kavro_relay_cast_replay_bytes", "gauge",
             "Replay bytes (header and data) of each live cast sent to its watchers so far.");
    for (const CastStatus& cast : status.casts) {
        m.sample(cast.replay_bytes, label("cast", cast.name));
    }

    m.family("kavro_relay_received_bytes_total", "counter", "Bytes received from relay clients.");
    m.sample(counters.bytes_received);
    m.family("kavro_relay_sent_bytes_total", "counter", "Bytes sent to relay clients.");
    m.sample(counters.bytes_sent);

    m.family("kavro_relay_refusals_total", "counter",
             "Requests the relay turned down without a protocol error, by reason.");
    for (std::size_t i = 0; i < kRefusalKinds; ++i) {
        const auto reason = static_cast<Refusal>(i);
        m.sample(counters.refused(reason), label("reason", refusal_label(reason)));
    }
    m.family("kavro_relay_key_attempts_refused_total", "counter",
             "Registrations at a keyed or reserved name refused: a wrong key, a reserved name "
             "without its key, or any attempt during its address's pause.");
    m.sample(counters.key_attempts_refused());
    m.family("kavro_relay_key_pauses", "gauge",
             "Client addresses waiting out a pause before their next attempt at a key.");
    m.sample(status.key_pauses);
    m.family("kavro_relay_protocol_errors_total", "counter",
             "Connections closed for breaking the protocol.");
    m.sample(counters.protocol_errors);
    m.family("kavro_relay_idle_timeouts_total", "counter",
             "Connections closed for sending no complete message in time.");
    m.sample(counters.idle_timeouts);

    m.family("kavro_relay_stalled_writes_total", "counter",
             "Connections closed because their socket took nothing for the stall time-out.");
    m.sample(counters.stalled_writes);
    m.family("kavro_relay_bans", "gauge", "Addresses and networks banned now.");
    m.sample(status.bans_in_force);
    m.family("kavro_relay_admin_actions_total", "counter",
             "What the operator did through the admin API, by action.");
    for (std::size_t i = 0; i < kAdminActionKinds; ++i) {
        const auto action = static_cast<AdminAction>(i);
        m.sample(status.admin.actions[i], label("action", admin_action_label(action)));
    }
    m.family("kavro_relay_admin_denied_total", "counter",
             "Admin requests refused for want of the right token.");
    m.sample(status.admin.denied);

    m.family("kavro_relay_casts_started_total", "counter", "Casts started.");
    m.sample(status.cast_counters.started);
    m.family("kavro_relay_casts_resumed_total", "counter",
             "Casts taken over by their returning caster, in the grace period or from a "
             "connection that still looked alive.");
    m.sample(status.cast_counters.resumed);
    m.family("kavro_relay_casts_ended_total", "counter", "Casts ended.");
    m.sample(status.cast_counters.ended);
    m.family("kavro_relay_casts_restored_total", "counter",
             "Casts brought back from the data folder at start, live when the relay stopped.");
    m.sample(status.cast_counters.restored);

    const StoreStatus& store = status.store;
    m.family("kavro_relay_store_enabled", "gauge",
             "1 while the relay keeps its recordings in a data folder.");
    m.sample(store.enabled ? 1 : 0);
    m.family("kavro_relay_store_bytes", "gauge", "Bytes of the recordings in the data folder.");
    m.sample(store.bytes);
    m.family("kavro_relay_store_recordings", "gauge", "Recordings listed in the catalogue.");
    m.sample(store.recordings);
    m.family("kavro_relay_store_write_errors_total", "counter",
             "Writes to the data folder that failed (recording files and the catalogue).");
    m.sample(store.write_errors);
    m.family("kavro_relay_store_retention_deleted_total", "counter",
             "Recordings deleted by retention (--keep-days, --keep-bytes).");
    m.sample(store.deleted_by_retention);
    m.family("kavro_relay_store_sync_seconds", "histogram",
             "Time each sync of the data folder took: every file written since the last, then "
             "the catalogue.");
    for (std::size_t i = 0; i < kSyncBuckets.size(); ++i) {
        std::ostringstream le;
        le << "le=\"" << kSyncBuckets[i] << "\"";
        m.sample_named("kavro_relay_store_sync_seconds_bucket", store.sync_buckets[i], le.str());
    }
    m.sample_named("kavro_relay_store_sync_seconds_bucket", store.syncs, "le=\"+Inf\"");
    m.sample_named("kavro_relay_store_sync_seconds_sum", store.sync_seconds);
    m.sample_named("kavro_relay_store_sync_seconds_count", store.syncs);
    return m.text();
}

}  // namespace kavro::relay
