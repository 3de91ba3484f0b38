// The history database's cost per polling round of the example site: the
// three records one round stores (AC with one channel 62 bytes, DC 41 bytes,
// rectifiers with three modules 195 bytes) in the round's one transaction,
// on a database already at its bound (10,000 rows per device; with bounds,
// also an age bound of as many rounds), a round every 5 s of a fake clock.
// Arguments: bounds (0 none, 1 rows and age), interval_s (0: every round
// stored). Counters: the bytes the process wrote per round (/proc/self/io)
// and the rows a device holds at the end.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/records/record_types.h"

namespace {

constexpr int64_t kRoundS = 5;
constexpr unsigned kRowsPerDevice = 10'000;

uint64_t write_bytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "write_bytes:") return value;
    return 0;
}

void BM_HistoryRound(benchmark::State& state) {
    const bool bounded = state.range(0) != 0;
    const std::string path = "/var/tmp/voka-history-bench-" + std::to_string(getpid()) + ".db";
    const auto remove = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    };
    remove();
    {
        const Retention retention = bounded ? Retention{kRowsPerDevice, kRowsPerDevice * kRoundS} : Retention{0, 0};
        HistoryDb db(path, HistoryPolicy{retention, state.range(1)});
        int64_t now = 1'000'000'000;
        db.set_clock([&now] { return now; });
        const std::vector<uint8_t> ac(kAcRecord.size_for(1), 1), dc(kDcRecord.size_for(0), 2),
            rc(kRectifierRecord.size_for(3), 3);
        const std::string ac_type(kAcRecord.device_type), dc_type(kDcRecord.device_type),
            rc_type(kRectifierRecord.device_type);
        const auto round = [&] {
            db.in_one_transaction([&] {
                db.save(11, kAcRecord.number, ac_type, ac);
                db.save(21, kDcRecord.number, dc_type, dc);
                db.save(1, kRectifierRecord.number, rc_type, rc);
            });
            now += kRoundS;
        };
        // Fill to the bound: every round stored until then.
        {
            HistoryDb filler(path, HistoryPolicy{retention, 0});
            filler.set_clock([&now] { return now; });
            for (unsigned i = 0; i < kRowsPerDevice + kRowsPerDevice / 50; ++i)
                filler.in_one_transaction([&] {
                    filler.save(11, kAcRecord.number, ac_type, ac);
                    filler.save(21, kDcRecord.number, dc_type, dc);
                    filler.save(1, kRectifierRecord.number, rc_type, rc);
                    now += kRoundS;
                });
        }
        const uint64_t written_before = write_bytes();
        size_t rounds = 0;
        for (auto _ : state) {
            round();
            ++rounds;
        }
        state.counters["write_bytes_per_round"] =
            static_cast<double>(write_bytes() - written_before) / static_cast<double>(rounds);
        state.counters["rows_per_device"] = static_cast<double>(db.rows(21).size());
    }
    remove();
}
BENCHMARK(BM_HistoryRound)
    ->ArgNames({"bounds", "interval_s"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 60})
    ->Args({1, 60})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
