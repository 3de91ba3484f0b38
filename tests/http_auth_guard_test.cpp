// Password guessing per client address on a timeline: back-offs after five
// refusals in a minute, doubling to five minutes; one log line per address
// per minute with its count; a bounded table; IPv6 clients by their /64.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/http/auth_guard.h"

namespace {

using Clock = AuthGuard::Clock;
const Clock::time_point kStart{};

Clock::time_point at(int seconds) { return kStart + std::chrono::seconds(seconds); }

struct Guard {
    std::vector<std::string> lines;
    std::atomic<uint64_t> failures{0};
    AuthGuard guard{[this](const std::string& line) { lines.push_back(line); }, failures};
};

}  // namespace

TEST(AuthGuard, BacksOffAGuesserDoublingUpToFiveMinutesAndTellsOncePerMinute) {
    enum What { refuse, accept, tick };
    struct Step {
        int at_s;
        const char* client;
        What what;
        int back_off_left_s;  // for `client`, after the step
        const char* logged;   // the new log line holds this; "" for none
    } steps[] = {
        {0, "10.0.0.7", refuse, 0, "voka-host: HTTP: 1 refused credential from 10.0.0.7 in the last minute"},
        {1, "10.0.0.7", refuse, 0, ""},
        {2, "10.0.0.8", refuse, 0, "1 refused credential from 10.0.0.8 in the last minute"},  // another client
        {2, "10.0.0.7", refuse, 0, ""},
        {3, "10.0.0.7", refuse, 0, ""},
        {4, "10.0.0.7", refuse, 60, ""},  // the fifth within a minute: a back-off
        {5, "10.0.0.7", refuse, 59, ""},  // sent during it: counted, the back-off stands
        {5, "10.0.0.8", tick, 0, ""},
        {30, "10.0.0.7", tick, 34, ""},
        {60, "10.0.0.7", tick, 4,
         "5 refused credentials from 10.0.0.7 in the last minute; its credentials are refused unchecked (429) for 4 s"},
        {64, "10.0.0.7", tick, 0, ""},
        {70, "10.0.0.7", refuse, 120, ""},  // the first after a back-off starts the next, twice as long
        {120, "10.0.0.7", tick, 70, "1 refused credential from 10.0.0.7 in the last minute; its credentials"},
        {190, "10.0.0.7", refuse, 240, "1 refused credential from 10.0.0.7"},
        {430, "10.0.0.7", refuse, 300, "1 refused credential"},  // at most five minutes
        {730, "10.0.0.7", refuse, 300, "1 refused credential"},
        {1030, "10.0.0.7", accept, 0, ""},  // a right credential ends the back-offs
        {1031, "10.0.0.7", refuse, 0, "1 refused credential"},
        // Four in one minute and four in the next make no back-off; a fifth in that minute does.
        {0, "10.0.0.9", refuse, 0, "1 refused credential from 10.0.0.9"},
        {1, "10.0.0.9", refuse, 0, ""},
        {2, "10.0.0.9", refuse, 0, ""},
        {3, "10.0.0.9", refuse, 0, ""},
        {61, "10.0.0.9", refuse, 0, "4 refused credentials from 10.0.0.9 in the last minute"},
        {64, "10.0.0.9", refuse, 0, ""},
        {65, "10.0.0.9", refuse, 0, ""},
        {66, "10.0.0.9", refuse, 0, ""},
        {68, "10.0.0.9", refuse, 60, ""},
    };
    Guard g;
    uint64_t refusals = 0;
    for (const Step& s : steps) {
        const size_t told = g.lines.size();
        if (s.what == refuse) g.guard.refused(s.client, at(s.at_s)), ++refusals;
        if (s.what == accept) g.guard.accepted(s.client);
        if (s.what == tick) g.guard.tick(at(s.at_s));
        const std::string where = std::string(s.client) + " at " + std::to_string(s.at_s) + " s";
        EXPECT_EQ(g.guard.back_off_left(s.client, at(s.at_s)).count(), s.back_off_left_s) << where;
        if (*s.logged) {
            ASSERT_EQ(g.lines.size(), told + 1) << where;
            EXPECT_NE(g.lines.back().find(s.logged), std::string::npos) << where << ": " << g.lines.back();
        } else {
            EXPECT_EQ(g.lines.size(), told) << where << ": " << (g.lines.empty() ? "" : g.lines.back());
        }
    }
    EXPECT_EQ(g.failures.load(), refusals);
}

TEST(AuthGuard, RemembersABoundedNumberOfAddressesAndForgetsQuietOnes) {
    Guard g;
    // A guesser in back-off, then many addresses, each with one refusal.
    for (int i = 0; i < 5; ++i) g.guard.refused("10.0.0.1", at(0));
    const int many = static_cast<int>(AuthGuard::kMostAddresses) + 200;
    for (int i = 0; i < many; ++i)
        g.guard.refused("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), at(1));
    EXPECT_EQ(g.guard.addresses(), AuthGuard::kMostAddresses);
    // The newest stay; the table made room by dropping the quietest.
    g.guard.refused("10.2.0.1", at(2));
    EXPECT_EQ(g.guard.addresses(), AuthGuard::kMostAddresses);
    EXPECT_EQ(g.guard.back_off_left("10.0.0.1", at(2)).count(), 0);
    // Past the log window every count is told, and past kForgetAfter all are gone.
    g.lines.clear();
    g.guard.tick(at(2) + AuthGuard::kForgetAfter);
    EXPECT_EQ(g.lines.size(), 0u);  // one refusal each: each was told at once
    EXPECT_EQ(g.guard.addresses(), 0u);
    EXPECT_FALSE(g.guard.next_due());
}

TEST(ClientKey, NamesIPv4ClientsByAddressAndIPv6ClientsByTheirSlash64) {
    struct Case {
        const char* address;
        const char* key;
    } cases[] = {
        {"10.0.0.7", "10.0.0.7"},
        {"127.0.0.1", "127.0.0.1"},
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"::1", "::/64"},
    };
    for (const Case& c : cases) {
        sockaddr_storage storage{};
        if (inet_pton(AF_INET, c.address, &reinterpret_cast<sockaddr_in&>(storage).sin_addr) == 1)
            storage.ss_family = AF_INET;
        else if (inet_pton(AF_INET6, c.address, &reinterpret_cast<sockaddr_in6&>(storage).sin6_addr) == 1)
            storage.ss_family = AF_INET6;
        EXPECT_EQ(client_key(reinterpret_cast<const sockaddr&>(storage)), c.key) << c.address;
    }
}
