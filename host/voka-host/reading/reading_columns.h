#pragma once
// A record's readings as the columns of a table: one column per value, lists
// spread into numbered columns (channel_0_a, battery_1_i, module_2_current,
// ac_params_3), numbers as voka-host publishes them.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/voka-host/records/record_types.h"

std::string column_name(const Reading& r);
// The published number ("" for a missing value).
std::string reading_text(const Reading& r);

// The columns of every record seen, each record's in its own order; a column
// a later record brings (one more channel) goes after its neighbour.
class ReadingColumns {
public:
    struct Column {
        std::string name;
        std::string_view unit;
    };
    void add(const DecodedRecord& record);
    const std::vector<Column>& columns() const { return columns_; }
    // Where `name` is; npos when no record had it.
    size_t find(const std::string& name) const;
    // Whether some record could not be decoded: the table needs an error column.
    bool any_error() const { return any_error_; }

private:
    std::vector<Column> columns_;
    std::unordered_map<std::string, size_t> where_;
    bool any_error_ = false;
};
