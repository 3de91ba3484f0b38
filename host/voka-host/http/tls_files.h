#pragma once
// The HTTPS server's certificate and private key: read when the site file is
// read, and checked with GnuTLS (the library the HTTP server speaks TLS
// with) so that a file that cannot serve is a configuration error naming its
// key, not a server that fails its first client:
//
//   "tls": {"cert_file": "https.crt",    PEM, the server's certificate (and its chain)
//           "key_file": "https.key"}     PEM, its private key, unencrypted; or
//                                        {"credential": "voka.http-tls-key"} (secret_file.h)
//
// Relative names are taken from the site file's folder.
#include <optional>
#include <string>

#include <json/value.h>

#include "host/voka-host/config/secret_file.h"

struct HttpTlsConfig {
    std::string cert_file;  // where it was read from
    SecretFile key_file;    // where it was read from
    std::string cert_pem, key_pem;    // what they hold
    bool operator==(const HttpTlsConfig&) const = default;
};

// Reads and checks "http.tls"; `source` names the site file. Throws
// ConfigError naming the key: a file that cannot be read, a certificate or
// key GnuTLS cannot take, a key that does not match the certificate.
HttpTlsConfig tls_config_from_json(const Json::Value& tls, const std::string& source);

// Why GnuTLS would not serve with this certificate and key, and which of
// the two it is about ("cert_file" or "key_file"); nothing when it would.
struct TlsProblem {
    std::string key;
    std::string why;
};
std::optional<TlsProblem> tls_pair_problem(const std::string& cert_pem, const std::string& key_pem);
