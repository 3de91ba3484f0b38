#pragma once
// /api/v1/history's answer with format=csv: the rows as `voka-host history
// --format csv` writes them (reading/history_export.h), the very same text.
// The export walks the rows twice (columns first), so it is written whole to
// an unnamed temporary file first and handed out from there: memory stays
// small, and the history's limit bounds the file.
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "host/voka-host/history/history_db.h"
#include "host/voka-host/http/http_server.h"

class CsvHistoryBody final : public BodySource {
public:
    // Reads the rows on a read-only connection of `database`. Throws
    // HistoryError when the database cannot be read or no temporary file
    // can be made.
    CsvHistoryBody(const std::string& database, const HistoryQuery& query);

    // Throws std::runtime_error when the temporary file cannot be read.
    size_t read(std::span<char> out) override;

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};
