// The history database's cost per polling round of the example site: the
// three records one round stores (AC with one channel 62 bytes, DC 41 bytes,
// rectifiers with three modules 195 bytes), each its own committed row, with
// the per-device bound applied. Also reports the bytes on disk per round.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "host_program/history/history_db.h"
#include "host_program/records/record_types.h"

namespace {

void BM_HistoryRound(benchmark::State& state) {
    const std::string path = "/tmp/voka-history-bench-" + std::to_string(getpid()) + ".db";
    const auto remove = [&] {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    };
    remove();
    size_t rounds = 0;
    {
        HistoryDb db(path, Retention{static_cast<unsigned>(state.range(0)), 0});
        const std::vector<uint8_t> ac(kAcRecord.size_for(1), 1), dc(kDcRecord.size_for(0), 2),
            rc(kRectifierRecord.size_for(3), 3);
        for (auto _ : state) {
            db.save(11, kAcRecord.number, std::string(kAcRecord.device_type), ac);
            db.save(21, kDcRecord.number, std::string(kDcRecord.device_type), dc);
            db.save(1, kRectifierRecord.number, std::string(kRectifierRecord.device_type), rc);
            ++rounds;
        }
    }
    uintmax_t bytes = 0;
    for (const char* suffix : {"", "-wal"})
        if (std::filesystem::exists(path + suffix)) bytes += std::filesystem::file_size(path + suffix);
    state.counters["disk_bytes_per_round"] = static_cast<double>(bytes) / static_cast<double>(rounds);
    state.counters["rows_kept_per_device"] = static_cast<double>(state.range(0) ? std::min<size_t>(rounds, state.range(0)) : rounds);
    remove();
}
BENCHMARK(BM_HistoryRound)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
