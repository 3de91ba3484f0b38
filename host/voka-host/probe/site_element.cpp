#include "host/voka-host/probe/site_element.h"

#include <json/writer.h>

#include <fmt/format.h>

namespace probe {
namespace {

std::string counted(std::optional<unsigned> n, const char* one, const char* many) {
    if (!n) return fmt::format("{} not known", many);
    return fmt::format("{} {}", *n, *n == 1 ? one : many);
}

std::string data_id_list(unsigned count, unsigned first_id) {
    std::string out = "[";
    for (unsigned i = 0; i < count; ++i) out += fmt::format("{}{{\"data_id\": {}}}", i ? ", " : "", first_id + i);
    return out + "]";
}

}  // namespace

std::string describe(const Finding& f) {
    std::string text = fmt::format("address {}, {} baud: {}, {}, {}", f.address, f.baud_rate,
                                   counted(f.modules, "rectifier module", "rectifier modules"),
                                   counted(f.ac_units, "AC unit", "AC units"), counted(f.dc_units, "DC unit", "DC units"));
    if (f.model) text += fmt::format(", model \"{}\"", *f.model);
    return text;
}

std::string site_element(const Finding& f, const std::string& port) {
    const unsigned ac = f.ac_units.value_or(0), dc = f.dc_units.value_or(0);
    const unsigned first_ac = 11, first_dc = (first_ac + ac - 1) / 10 * 10 + 11;
    return fmt::format(
        "{{\n"
        "  \"name\": \"ps-{}\",\n"
        "  \"data_id\": 1,\n"
        "  \"port\": {},\n"
        "  \"baud_rate\": {},\n"
        "  \"address\": {},\n"
        "  \"acSetting\": {},\n"
        "  \"dcSetting\": {},\n"
        "  \"rcSetting\": {{}}\n"
        "}}\n",
        f.address, Json::valueToQuotedString(port.c_str()), f.baud_rate, f.address, data_id_list(ac, first_ac),
        data_id_list(dc, first_dc));
}

}  // namespace probe
