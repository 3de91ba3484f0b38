#pragma once
// Counts the program's heap allocations: this file's companion replaces the
// global operator new. Counted only while `counting` is set; the benchmark
// is single-threaded (work items run inline), so plain variables serve.
#include <cstdint>

namespace alloc_count {
extern bool counting;
extern uint64_t total;
}  // namespace alloc_count
