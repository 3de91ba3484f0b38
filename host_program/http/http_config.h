#pragma once
// The "http" element of a site configuration:
//
//   "http": { "listen": "127.0.0.1:9108",                    absent: no HTTP server
//             "auth": { "user": "monitor",                    required off loopback
//                       "password_hash": "$6$..." } }         mkpasswd -m sha-512 / openssl passwd -6,
//                                                             or {"credential": "NAME"}: its first line
//
// A non-loopback address is served only with "auth": whoever reaches the
// port otherwise reads the site.
#include <optional>
#include <string>

#include <json/value.h>

#include "host_program/http/listen_address.h"
#include "host_program/secret_file.h"

struct HttpAuthConfig {
    std::string user;
    std::string password_hash;
    std::optional<SecretFile> password_hash_file = {};  // the credential it was read from; nothing: inline
};

struct HttpConfig {
    std::optional<ListenAddress> listen;  // nothing: off
    std::optional<HttpAuthConfig> auth;
};

// Checks the "http" element (null: off); `source` names the file in
// messages. Throws ConfigError naming the key.
HttpConfig http_config_from_json(const Json::Value& http, const std::string& source);

// The configuration with `--listen` (already a parsed address) in place of
// "listen", checked again: a non-loopback address without "auth" is a
// ConfigError.
HttpConfig with_listen_option(HttpConfig config, const std::optional<ListenAddress>& listen,
                              const std::string& source);
