#pragma once
// The "http" element of a site configuration; its keys: http_keys().
//
// A non-loopback address is served only with "auth": whoever reaches the
// port otherwise reads the site; and only with "tls", unless the site says
// "plaintext": true in so many words: whoever sees the traffic otherwise has
// the password. The other limits a client meets are fixed (http_limits.h).
#include <optional>
#include <string>

#include <json/value.h>

#include "host/voka-host/config/schema.h"
#include "host/voka-host/http/http_limits.h"
#include "host/voka-host/http/listen_address.h"
#include "host/voka-host/http/tls_files.h"
#include "host/voka-host/config/secret_file.h"

struct HttpAuthConfig {
    std::string user;
    std::string password_hash;
    std::optional<SecretFile> password_hash_file = {};  // the credential it was read from; nothing: inline
    bool operator==(const HttpAuthConfig&) const = default;
};

struct HttpConfig {
    std::optional<ListenAddress> listen;  // nothing: off
    std::optional<HttpAuthConfig> auth;
    std::optional<HttpTlsConfig> tls;     // nothing: plain HTTP
    bool plaintext = false;               // plain HTTP off loopback accepted in so many words
    HttpLimits limits;
    bool operator==(const HttpConfig&) const = default;
};

// The keys of "http".
const schema::Section& http_keys();

// Checks the "http" element (null: off); `source` names the file in
// messages. Throws ConfigError naming the key.
HttpConfig http_config_from_json(const Json::Value& http, const std::string& source);

// The configuration with `--listen` (already a parsed address) in place of
// "listen", checked again: a non-loopback address without "auth", or
// without "tls" or "plaintext", is a ConfigError.
HttpConfig with_listen_option(HttpConfig config, const std::optional<ListenAddress>& listen,
                              const std::string& source);
