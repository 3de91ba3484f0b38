#pragma once
// /metrics: the site snapshot as Prometheus families.
//
//   voka_build_info{version}                          1
//   voka_up{system}                                   1 unless the data are stale
//   voka_power_system_state{system,state}             1 for the state it is in, 0 for the others
//   voka_rounds_total{system}                         complete rounds
//   voka_last_round_timestamp_seconds{system}         when the last complete round ended
//   voka_round_duration_seconds{system}               how long it took
//   voka_line_*_total{system[,reason]}                the line counters
//   voka_<reading family>{system,data_id[,channel,phase,module,battery,position]}   every reading not missing
//   voka_alarm_active{system,data_id,rule_id,grade,code,text}   1 per active alarm
//   voka_http_auth_failures_total                      credentials the HTTP server refused
//   voka_history_write_failures_total                  writes of the history database that failed
//   voka_mqtt_connected{system}                        1 while the system's broker session is up
//   voka_mqtt_queued_messages{system}                  messages waiting for the broker
//   voka_mqtt_dropped_messages_total{system,kind}      dropped from the bounded outbox: state, event
#include <cstdint>
#include <string>
#include <string_view>

#include "host/voka-host/base/host_figures.h"
#include "host/voka-host/http/site_snapshot.h"
#include "host/voka-host/records/record_types.h"

// What the HTTP side itself counts.
struct HttpFigures {
    uint64_t auth_failures = 0;
};

// `host`: the host's own figures, left out when null (no HTTP service around it).
std::string site_metrics(const SiteState& site, std::string_view version, const HttpFigures& http = {},
                         const HostFigures* host = nullptr);

// Which family a record's reading is published under: the record kind and
// the reading's name give the family's stem, the reading's unit its base-unit
// suffix ("V" → _volts, "A" → _amperes, "Hz" → _hertz).
struct ReadingFamily {
    std::string name;  // "voka_dc_voltage_volts"
    std::string help;
};
ReadingFamily reading_family(RecordKind kind, const Reading& reading);
