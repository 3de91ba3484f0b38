#include "host/voka-host/start_warnings.h"

#include <arpa/inet.h>

#include <ctime>

#include <fmt/format.h>

#include "host/voka-host/mqtt/tls_files.h"

namespace {

// A broker on this machine: its traffic never leaves it.
bool loopback_host(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace

std::vector<std::string> start_warnings(const SiteConfig& site) {
    std::vector<std::string> out;
    std::vector<const SecretFile*> secrets;
    if (site.mqtt && site.mqtt->password_file) secrets.push_back(&*site.mqtt->password_file);
    if (site.mqtt && site.mqtt->tls && site.mqtt->tls->key_file) secrets.push_back(&*site.mqtt->tls->key_file);
    if (site.http.tls) secrets.push_back(&site.http.tls->key_file);
    // An inline password hash makes the site file itself a secret.
    const SecretFile site_file{site.path, "http.auth.password_hash", false};
    if (site.http.auth && !site.http.auth->password_hash_file && !site.path.empty()) secrets.push_back(&site_file);
    for (const SecretFile* secret : secrets)
        if (std::string warning = exposed_secret_warning(*secret); !warning.empty()) out.push_back(std::move(warning));

    if (site.mqtt && site.mqtt->password && !site.mqtt->tls && !loopback_host(site.mqtt->host))
        out.push_back(fmt::format("voka-host: mqtt: the password of \"{}\" goes to {}:{} without TLS: whoever sees "
                                  "the traffic reads it (add \"tls\" to \"mqtt\")",
                                  *site.mqtt->username, site.mqtt->host, site.mqtt->port));
    if (site.mqtt && site.mqtt->tls)
        for (const std::string& problem : mqtt::tls_time_problems(*site.mqtt->tls, std::time(nullptr)))
            out.push_back("voka-host: mqtt: " + problem);
    return out;
}
