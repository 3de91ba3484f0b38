#include "host/voka-host/mqtt/tls_files.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>

#include <fmt/format.h>

#include "host/voka-host/config/config_error.h"

namespace mqtt {

namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using File = std::unique_ptr<BIO, decltype(&BIO_free)>;

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: mqtt.tls.{}: {}", source, key, problem));
}

// Every PEM certificate of the file, in order.
std::vector<Certificate> read_certificates(const std::string& path) {
    std::vector<Certificate> out;
    const File file(BIO_new_file(path.c_str(), "r"), &BIO_free);
    while (file) {
        X509* x = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr);
        if (!x) break;
        out.emplace_back(x, &X509_free);
    }
    ERR_clear_error();  // the end of the file reads as an error too
    return out;
}

// Never asks for a passphrase: there is nobody to type it.
int no_passphrase(char*, int, int, void*) { return 0; }

PrivateKey read_private_key(const std::string& path) {
    const File file(BIO_new_file(path.c_str(), "r"), &BIO_free);
    PrivateKey key(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, &no_passphrase, nullptr) : nullptr,
                   &EVP_PKEY_free);
    ERR_clear_error();
    return key;
}

std::string date(const ASN1_TIME* t) {
    std::tm tm{};
    if (ASN1_TIME_to_tm(t, &tm) != 1) return "an unreadable date";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

// Why `x` is not valid at `now`; nothing when it is.
std::optional<std::string> invalid_at(X509* x, std::time_t now) {
    if (X509_cmp_time(X509_get0_notAfter(x), &now) < 0) return "expired on " + date(X509_get0_notAfter(x));
    if (X509_cmp_time(X509_get0_notBefore(x), &now) > 0) return "is not valid before " + date(X509_get0_notBefore(x));
    return std::nullopt;
}

}  // namespace

void check_tls_files(const MqttTls& tls, const std::string& source) {
    if (read_certificates(tls.ca_file).empty())
        fail(source, "ca_file", fmt::format("{} holds no PEM certificate", tls.ca_file));
    if (!tls.cert_file || !tls.key_file) return;
    const auto certificates = read_certificates(*tls.cert_file);
    if (certificates.empty()) fail(source, "cert_file", fmt::format("{} holds no PEM certificate", *tls.cert_file));
    const PrivateKey key = read_private_key(tls.key_file->path);
    if (!key)
        fail(source, "key_file",
             fmt::format("{} holds no PEM private key that can be read without a passphrase", tls.key_file->path));
    if (X509_check_private_key(certificates.front().get(), key.get()) != 1) {
        ERR_clear_error();
        fail(source, "key_file",
             fmt::format("{} is not the key of the certificate in {} (mqtt.tls.cert_file)", tls.key_file->path,
                         *tls.cert_file));
    }
}

std::vector<std::string> tls_time_problems(const MqttTls& tls, std::time_t now) {
    std::vector<std::string> out;
    // A CA file may hold several; checking fails only when none is valid.
    const auto authorities = read_certificates(tls.ca_file);
    std::optional<std::string> why;
    for (const Certificate& ca : authorities)
        if (!(why = invalid_at(ca.get(), now))) break;
    if (!authorities.empty() && why)
        out.push_back(fmt::format("the CA certificate in {} (mqtt.tls.ca_file) {}: the broker's certificate cannot "
                                  "be checked against it",
                                  tls.ca_file, *why));
    if (tls.cert_file) {
        const auto certificates = read_certificates(*tls.cert_file);
        if (!certificates.empty())
            if (const auto client = invalid_at(certificates.front().get(), now))
                out.push_back(fmt::format("the client certificate {} (mqtt.tls.cert_file) {}: the broker will "
                                          "refuse it",
                                          *tls.cert_file, *client));
    }
    return out;
}

}  // namespace mqtt
