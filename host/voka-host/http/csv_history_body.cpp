#include "host/voka-host/http/csv_history_body.h"

#include <stdexcept>

#include "host/voka-host/reading/history_export.h"

CsvHistoryBody::CsvHistoryBody(const std::string& database, const HistoryQuery& query) : file_(std::tmpfile()) {
    if (!file_) throw HistoryError("no temporary file for a CSV export");
    HistoryDb db(database, HistoryPolicy{}, HistoryDb::Problem{}, HistoryDb::Open::read_only);
    write_history(db, query, OutputFormat::csv, file_.get());
    if (std::fflush(file_.get()) != 0) throw HistoryError("the CSV export's temporary file cannot be written");
    std::rewind(file_.get());
}

size_t CsvHistoryBody::read(std::span<char> out) {
    const size_t n = std::fread(out.data(), 1, out.size(), file_.get());
    if (n == 0 && std::ferror(file_.get())) throw std::runtime_error("the CSV export's temporary file cannot be read");
    return n;
}
