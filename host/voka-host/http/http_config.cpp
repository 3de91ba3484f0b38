#include "host/voka-host/http/http_config.h"

#include <fmt/format.h>

#include "host/voka-host/http/basic_auth.h"

namespace {

using schema::Key;
using schema::Reload;
using schema::Type;

constexpr double kMostConnections = 1024;  // each holds a descriptor and its fixed memory

constexpr Key kAuthKeys[] = {
    {.name = "user", .type = Type::string, .help = "the user name a client gives (no ':')", .reload = Reload::applied,
     .required = true},
    {.name = "password_hash", .type = Type::secret,
     .help = "its crypt(3) hash ($6$, $5$, $y$, $2b$: mkpasswd -m sha-512), or a credential holding it",
     .reload = Reload::applied, .required = true},
};
const schema::Section kAuth{"\"http.auth\"", kAuthKeys};

constexpr Key kTlsKeys[] = {
    {.name = "cert_file", .type = Type::string, .help = "the server's PEM certificate chain", .reload = Reload::applied,
     .required = true},
    {.name = "key_file", .type = Type::secret, .help = "its PEM private key, or a credential holding it",
     .reload = Reload::applied, .required = true},
};
const schema::Section kTls{"\"http.tls\"", kTlsKeys};

constexpr Key kKeys[] = {
    {.name = "listen", .type = Type::string, .help = "the address the HTTP side serves on", .reload = Reload::applied,
     .default_text = "off", .rule = "a string ADDR:PORT"},
    {.name = "auth", .type = Type::object, .help = "basic authentication; required off loopback",
     .reload = Reload::applied, .inner = &kAuth},
    {.name = "tls", .type = Type::object, .help = "HTTPS only (TLS 1.2 and later)", .reload = Reload::applied,
     .inner = &kTls, .own_reader = true},
    {.name = "plaintext", .type = Type::boolean, .help = "off loopback without tls: the password in clear, accepted",
     .reload = Reload::applied, .default_text = "false"},
    {.name = "max_connections", .type = Type::integer, .help = "connections at once", .reload = Reload::applied,
     .default_text = "64", .lo = 1, .hi = kMostConnections},
    {.name = "max_connections_per_address", .type = Type::integer, .help = "of them from one client address",
     .reload = Reload::applied, .default_text = "8", .lo = 1, .hi = kMostConnections},
};

void require_auth_off_loopback(const HttpConfig& c, const std::string& source, const std::string& key) {
    if (!c.listen || c.listen->loopback()) return;
    if (!c.auth)
        schema::refuse(source, key,
             fmt::format("{} is reachable from other machines: it needs \"http\": {{\"auth\": {{\"user\": ..., "
                         "\"password_hash\": ...}}}}",
                         c.listen->text()));
    if (!c.tls && !c.plaintext)
        schema::refuse(source, key,
             fmt::format("{} is reachable from other machines, and without TLS the password travels in clear: it "
                         "needs \"http\": {{\"tls\": {{\"cert_file\": ..., \"key_file\": ...}}}}, or "
                         "\"plaintext\": true to accept that",
                         c.listen->text()));
}

}  // namespace

const schema::Section& http_keys() {
    static const schema::Section section{"\"http\"", kKeys};
    return section;
}

HttpConfig http_config_from_json(const Json::Value& http, const std::string& source) {
    HttpConfig c;
    if (http.isNull()) return c;
    schema::Problems problems(source);
    schema::check(http, http_keys(), "http", problems);
    problems.throw_if_any();
    if (http.isMember("listen")) {
        auto parsed = parse_listen_address(http["listen"].asString());
        if (auto* why = std::get_if<std::string>(&parsed)) schema::refuse(source, "http.listen", *why);
        c.listen = std::get<ListenAddress>(parsed);
    }
    if (http.isMember("auth")) {
        const Json::Value& auth = http["auth"];
        HttpAuthConfig a{auth["user"].asString(), "", std::nullopt};
        if (auth["password_hash"].isObject()) {
            a.password_hash_file = credential_from_json(auth["password_hash"], source, "http.auth.password_hash",
                                                        credentials_directory_from_environment());
            a.password_hash = read_secret_line(*a.password_hash_file, source);
        } else {
            a.password_hash = auth["password_hash"].asString();
        }
        if (a.user.find(':') != std::string::npos) schema::refuse(source, "http.auth.user", "must not contain ':'");
        if (!usable_password_hash(a.password_hash))
            schema::refuse(source, "http.auth.password_hash",
                 "must be a crypt(3) hash of a strong method ($6$, $5$, $y$, $2b$), as `mkpasswd -m sha-512` or "
                 "`openssl passwd -6` make it");
        c.auth = std::move(a);
    }
    if (http.isMember("tls")) c.tls = tls_config_from_json(http["tls"], source);
    c.plaintext = http.get("plaintext", false).asBool();
    if (c.plaintext && c.tls) schema::refuse(source, "http.plaintext", "true contradicts \"tls\"");
    c.limits.max_connections = http.get("max_connections", c.limits.max_connections).asUInt();
    c.limits.max_connections_per_address =
        http.get("max_connections_per_address", c.limits.max_connections_per_address).asUInt();
    if (c.limits.max_connections_per_address > c.limits.max_connections)
        schema::refuse(source, "http.max_connections_per_address", "must not exceed http.max_connections");
    require_auth_off_loopback(c, source, "http.listen");
    return c;
}

HttpConfig with_listen_option(HttpConfig config, const std::optional<ListenAddress>& listen,
                              const std::string& source) {
    if (!listen) return config;
    config.listen = listen;
    require_auth_off_loopback(config, source, "--listen");
    return config;
}
