// What a reload restarts: a power system is known by its name, and any
// difference in its element restarts it; settings of the whole site that a
// reload cannot apply are named.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/site_changes.h"
#include "tests/support/json.h"

namespace {

std::string ps(const std::string& name, int id, const std::string& extra = "") {
    return R"({"name": ")" + name + R"(", "data_id": )" + std::to_string(id) + R"(, "rcSetting": {})" + extra + "}";
}

SiteConfig site(const std::vector<std::string>& systems, const std::string& top = "") {
    std::string text = "{" + top + R"("power_systems": [)";
    for (size_t i = 0; i < systems.size(); ++i) text += (i ? "," : "") + systems[i];
    return site_config_from_json(parse_json(text + "]}"), "site.json");
}

using Names = std::vector<std::string>;

}  // namespace

TEST(SiteChanges, RestartsOnlyWhatChanged) {
    const SiteConfig running = site({ps("a", 1), ps("b", 2), ps("c", 3)});
    struct Case {
        const char* name;
        SiteConfig next;
        Names added, removed, changed, kept;
    };
    const std::vector<Case> cases = {
        {"the same file", site({ps("a", 1), ps("b", 2), ps("c", 3)}), {}, {}, {}, {}},
        {"the same systems in another order", site({ps("c", 3), ps("a", 1), ps("b", 2)}), {}, {}, {}, {}},
        {"one setting of one system", site({ps("a", 1), ps("b", 2, R"(, "poll_interval_ms": 100)"), ps("c", 3)}),
         {}, {}, {"b"}, {}},
        {"a child device added", site({ps("a", 1, R"(, "dcSetting": [{"data_id": 21}])"), ps("b", 2), ps("c", 3)}),
         {}, {}, {"a"}, {}},
        {"a renamed system is another one", site({ps("a", 1), ps("b", 2), ps("z", 3)}), {"z"}, {"c"}, {}, {}},
        {"added, removed and changed at once", site({ps("d", 4), ps("b", 2, R"(, "retries": 0)"), ps("a", 1)}),
         {"d"}, {"c"}, {"b"}, {}},
        {"the plug-in and history", site({ps("a", 1), ps("b", 2), ps("c", 3)},
                                         R"("plugin": "/x/voka.so", "history": {"interval_s": 5}, )"),
         {}, {}, {}, {"plugin", "history.interval_s"}},
        // The HTTP side applies its own changes (HttpService).
        {"the HTTP side", site({ps("a", 1), ps("b", 2), ps("c", 3)}, R"("http": {"listen": "127.0.0.1:9"}, )"),
         {}, {}, {}, {}},
        {"the MQTT side", site({ps("a", 1), ps("b", 2), ps("c", 3)}, R"("mqtt": {"host": "broker"}, )"),
         {}, {}, {}, {"mqtt.host"}},
    };
    for (const auto& c : cases) {
        const SiteChanges got = compare_sites(running, c.next);
        EXPECT_EQ(got.added, c.added) << c.name;
        EXPECT_EQ(got.removed, c.removed) << c.name;
        EXPECT_EQ(got.changed, c.changed) << c.name;
        EXPECT_EQ(got.kept_until_restart, c.kept) << c.name;
        EXPECT_EQ(got.none(), c.added.empty() && c.removed.empty() && c.changed.empty()) << c.name;
    }
}

// The publisher's connections, one per power system, are made at start.
TEST(SiteChanges, NamesThePublishedSystemsAsKeptUntilRestart) {
    const std::string mqtt = R"("mqtt": {"host": "broker"}, )";
    const SiteConfig running = site({ps("a", 1)}, mqtt);
    EXPECT_EQ(compare_sites(running, site({ps("a", 1), ps("b", 2)}, mqtt)).kept_until_restart,
              Names{"the power systems published to the MQTT broker"});
    EXPECT_EQ(compare_sites(running, site({ps("a", 1, R"(, "retries": 0)")}, mqtt)).kept_until_restart, Names{});
    // Each changed key is named, as the key table weighs it.
    EXPECT_EQ(compare_sites(running, site({ps("a", 1)}, R"("mqtt": {"host": "broker", "homeassistant": false, "qos": 1}, )"))
                  .kept_until_restart,
              (Names{"mqtt.qos", "mqtt.homeassistant"}));
}
