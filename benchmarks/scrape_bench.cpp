// What the HTTP side costs: rendering /metrics and /api/v1/state from the
// site snapshot, a whole /metrics scrape over a loopback connection, and
// what the snapshot adds to a polling thread for each published record.
//
// Sites: "example" (one power system as the bundled example: one AC unit with
// one channel, one DC unit with two battery strings, three rectifier modules,
// one active alarm) and "8 systems" (eight such power systems). The bytes of
// each answer are attached as a counter.
//
// Run by hand from the release preset:
//   cmake --preset release && cmake --build --preset release --target voka_scrape_bench
//   ./build/release/benchmarks/voka_scrape_bench
// scripts/scrape-cost.sh runs it, and the polling round time with and without a scrape every second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "plugin/ac/ac_record.h"
#include "plugin/dc/dc_record.h"
#include "host/voka-host/http/api_pages.h"
#include "host/voka-host/http/site_metrics.h"
#include "host/voka-host/http/site_snapshot.h"
#include "host/voka-host/site_config.h"
#include "plugin/rc/rc_record.h"

namespace {

template <class T>
void append(std::vector<uint8_t>& image, const T& part) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&part);
    image.insert(image.end(), bytes, bytes + sizeof part);
}

std::vector<uint8_t> ac_image(uint32_t id) {
    tele_c_voka_ac h{};
    h.id = id;
    h.ia = 12.4f;
    h.ib = 11.9f;
    h.ic = 12.1f;
    h.channel_count = 1;
    tele_c_voka_ac_channel c{};
    c.a = 231;
    c.b = 229;
    c.c = 230;
    c.f = 50.02f;
    std::vector<uint8_t> image;
    append(image, h);
    append(image, c);
    return image;
}

std::vector<uint8_t> dc_image(uint32_t id) {
    tele_c_voka_dc d{};
    d.id = id;
    d.v = 53.6f;
    d.i = 41.2f;
    d.dc_m = 2;
    d.m_values[0] = 2.5f;
    d.m_values[1] = 2.3f;
    std::vector<uint8_t> image;
    append(image, d);
    return image;
}

std::vector<uint8_t> rc_image(uint32_t id) {
    tele_c_voka_rc r{};
    r.id = id;
    r.output_voltage = 53.6f;
    r.channel_count = 3;
    std::vector<uint8_t> image;
    append(image, r);
    for (const float current : {14.2f, 13.9f, 14.1f}) {
        tele_c_voka_rc_channel m{};
        m.current = current;
        append(image, m);
    }
    return image;
}

PublishedRecord record(uint32_t id, const char* type, int number, const std::vector<uint8_t>& image) {
    return {id, type, number, decode_record(number, image)};
}

SiteConfig site_of(int systems) {
    SiteConfig site;
    site.path = "bench.json";
    for (int s = 0; s < systems; ++s) {
        PowerSystemConfig ps;
        ps.name = "ps" + std::to_string(s + 1);
        ps.data_id = static_cast<uint32_t>(100 * (s + 1));
        ps.ac_data_ids = {ps.data_id + 11};
        ps.dc_data_ids = {ps.data_id + 21};
        site.power_systems.push_back(ps);
    }
    return site;
}

// A snapshot of `systems` power systems after one complete round each.
void fill(SiteSnapshot& snapshot, const SiteConfig& site) {
    for (const PowerSystemConfig& ps : site.power_systems) {
        snapshot.handle(event::RecordPublished{ps.name, record(ps.data_id + 11, "voka-ac", 5188, ac_image(ps.data_id + 11))});
        snapshot.handle(event::RecordPublished{ps.name, record(ps.data_id + 21, "voka-dc", 5189, dc_image(ps.data_id + 21))});
        snapshot.handle(event::RecordPublished{ps.name, record(ps.data_id, "voka-rc", 5190, rc_image(ps.data_id))});
        RoundReport r;
        r.system = ps.name;
        r.round = 1;
        r.complete = true;
        r.duration_ms = 1040;
        snapshot.handle(event::RoundEnded{r});
        snapshot.handle(event::AlarmChanged{Alarm{ps.data_id, "RC_0", "module 2 fault", 2, "70101", "fault", 1, 0}, true});
    }
}

void BM_MetricsRender(benchmark::State& state) {
    const SiteConfig site = site_of(static_cast<int>(state.range(0)));
    SiteSnapshot snapshot(site.name, site.power_systems);
    fill(snapshot, site);
    size_t bytes = 0;
    for (auto _ : state) {
        const HttpResponse r = metrics_page(snapshot, HttpCounters{});
        bytes = r.body.size();
        benchmark::DoNotOptimize(r.body.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsRender)->Arg(1)->Arg(8)->ArgName("systems");

void BM_StateRender(benchmark::State& state) {
    const SiteConfig site = site_of(static_cast<int>(state.range(0)));
    SiteSnapshot snapshot(site.name, site.power_systems);
    fill(snapshot, site);
    size_t bytes = 0;
    for (auto _ : state) {
        const HttpResponse r = state_page(snapshot, std::time(nullptr));
        bytes = r.body.size();
        benchmark::DoNotOptimize(r.body.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StateRender)->Arg(1)->Arg(8)->ArgName("systems");

// One GET /metrics on a new loopback connection, as Prometheus scrapes: the answer's bytes, headers included.
size_t scrape(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return 0;
    }
    static const std::string kRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, kRequest.data(), kRequest.size(), 0) < 0) return 0;
    size_t total = 0;
    char buf[16384];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) total += static_cast<size_t>(n);
    close(fd);
    return total;
}

void BM_MetricsScrape(benchmark::State& state) {
    const SiteConfig site = site_of(static_cast<int>(state.range(0)));
    SiteSnapshot snapshot(site.name, site.power_systems);
    fill(snapshot, site);
    HttpServer server(HttpServerSettings{ListenAddress{"127.0.0.1", 0}}, {});
    const HttpCounters counters;
    add_api_routes(server, snapshot, {"unused.db"}, counters);
    server.start();
    size_t bytes = 0;
    for (auto _ : state) bytes = scrape(server.port());
    if (bytes == 0) state.SkipWithError("no answer");
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsScrape)->Arg(1)->Arg(8)->ArgName("systems")->UseRealTime();

// What a polling thread pays for the snapshot: one published record taken in.
void BM_SnapshotTakesRecord(benchmark::State& state) {
    const SiteConfig site = site_of(1);
    SiteSnapshot snapshot(site.name, site.power_systems);
    const event::RecordPublished e{"ps1", record(121, "voka-dc", 5189, dc_image(121))};
    for (auto _ : state) snapshot.handle(e);
}
BENCHMARK(BM_SnapshotTakesRecord);

}  // namespace

BENCHMARK_MAIN();
