#include "host/voka-host/http/tls_files.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "host/voka-host/config/secret_file.h"
#include "host/voka-host/config/config_error.h"

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: http.tls{}{}: {}", source, key.empty() ? "" : ".", key, problem));
}

// The whole of a file named by `key`, taken from the site file's folder when relative.
std::string read_named_file(const Json::Value& tls, const char* key, const std::string& source, std::string& path) {
    if (!tls.isMember(key) || !tls[key].isString() || tls[key].asString().empty())
        fail(source, key, "must be a non-empty string naming a PEM file");
    const std::filesystem::path named(tls[key].asString());
    path = named.is_absolute() ? named.string() : (std::filesystem::path(source).parent_path() / named).string();
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) fail(source, key, fmt::format("{} is a folder, not a file", path));
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(source, key, fmt::format("{} cannot be read: {}", path, std::strerror(errno ? errno : ENOENT)));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The private key: a file, or a service manager's credential, so that it can
// stay readable by root alone on disk.
std::string read_key_file(const Json::Value& tls, const std::string& source, SecretFile& secret) {
    secret = secret_file_from_json(tls["key_file"], source, "http.tls.key_file",
                                   credentials_directory_from_environment());
    std::ifstream in(secret.path, std::ios::binary);
    if (!in) fail(source, "key_file", fmt::format("{} cannot be read", secret.path));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

gnutls_datum_t datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned>(text.size())};
}

}  // namespace

std::optional<TlsProblem> tls_pair_problem(const std::string& cert_pem, const std::string& key_pem) {
    const gnutls_datum_t cert = datum(cert_pem), key = datum(key_pem);
    gnutls_x509_crt_t* chain = nullptr;
    unsigned chain_length = 0;
    int rc = gnutls_x509_crt_list_import2(&chain, &chain_length, &cert, GNUTLS_X509_FMT_PEM, 0);
    if (rc < 0) return TlsProblem{"cert_file", fmt::format("not a PEM certificate: {}", gnutls_strerror(rc))};
    for (unsigned i = 0; i < chain_length; ++i) gnutls_x509_crt_deinit(chain[i]);
    gnutls_free(chain);

    gnutls_x509_privkey_t private_key = nullptr;
    gnutls_x509_privkey_init(&private_key);
    rc = gnutls_x509_privkey_import2(private_key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_x509_privkey_deinit(private_key);
    if (rc < 0)
        return TlsProblem{"key_file", fmt::format("not an unencrypted PEM private key: {}", gnutls_strerror(rc))};

    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    rc = gnutls_certificate_set_x509_key_mem2(credentials, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_certificate_free_credentials(credentials);
    if (rc < 0)
        return TlsProblem{"key_file", fmt::format("cannot serve with the certificate: {}", gnutls_strerror(rc))};
    return std::nullopt;
}

HttpTlsConfig tls_config_from_json(const Json::Value& tls, const std::string& source) {
    if (!tls.isObject()) fail(source, "", "must be an object with \"cert_file\" and \"key_file\"");
    for (const std::string& key : tls.getMemberNames())
        if (key != "cert_file" && key != "key_file") fail(source, key, "is not a setting of \"http.tls\"");
    HttpTlsConfig c;
    c.cert_pem = read_named_file(tls, "cert_file", source, c.cert_file);
    c.key_pem = read_key_file(tls, source, c.key_file);
    if (const auto problem = tls_pair_problem(c.cert_pem, c.key_pem)) {
        const std::string& file = problem->key == "cert_file" ? c.cert_file : c.key_file.path;
        fail(source, problem->key, fmt::format("{}: {}", file, problem->why));
    }
    return c;
}
