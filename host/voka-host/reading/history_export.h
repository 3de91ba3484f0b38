#pragma once
// `voka-host history`: a device's stored records, decoded, as aligned text,
// JSON lines or CSV. Rows are read and written one at a time (text and CSV
// read them twice, in one read transaction: once for the columns, once to
// write), so memory does not grow with their number.
#include <cstddef>
#include <cstdio>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/reading/output_format.h"

// Returns the number of rows written.
size_t write_history(HistoryDb& db, const HistoryQuery& query, OutputFormat format, std::FILE* out);
