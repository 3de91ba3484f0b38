// HTTPS with certificates made by openssl: what "http.tls" and "plaintext"
// accept and refuse (naming the key), and the server as curl meets it: TLS
// 1.2 and later only, and nothing for a client speaking plain HTTP.
#include <gtest/gtest.h>

#include "host/voka-host/http/http_config.h"
#include "host/voka-host/http/http_server.h"
#include "host/voka-host/site_config.h"
#include "tests/support/config_refusal.h"
#include "tests/support/end_to_end.h"
#include "tests/support/http_client.h"

namespace {

using namespace e2e;

// openssl passwd -6 -salt abcdefgh 's3cret:pass'
const std::string kTlsHash =
    "$6$abcdefgh$UdAaYF6HFqfFy2NZ5dhO20ih7xep4vyownVVyYNIzh0VPdB8zQAwuEYxbJo8L3E9/yJE4E1OgtM75gKdzUzIm.";

// What reading `http_json` as a site's "http" element (in `dir`) says: "" when it is accepted.
std::string config_error(const Workdir& dir, const std::string& http_json) {
    return config_refusal([&] { http_config_from_json(parse_json(http_json), dir.path("site.json")); });
}

}  // namespace

TEST(HttpTls, ConfigurationNamesTheKeyOfWhatCannotServe) {
    Workdir w;
    ASSERT_EQ(make_certificate(w), "");
    ASSERT_EQ(make_certificate(w, "other-"), "");
    const std::string auth = R"("auth": {"user": "m", "password_hash": ")" + kTlsHash + R"("})";
    struct Case {
        std::string json;
        std::string error;  // "" when accepted
    } cases[] = {
        {R"({"listen": "127.0.0.1:0", "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}})", ""},
        {R"({"listen": "0.0.0.0:9108", )" + auth + R"(, "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}})", ""},
        {R"({"listen": "0.0.0.0:9108", )" + auth + R"(, "plaintext": true})", ""},
        {R"({"listen": "0.0.0.0:9108", )" + auth + "}", "http.listen: 0.0.0.0:9108 is reachable from other machines, "
                                                       "and without TLS the password travels in clear"},
        {R"({"listen": "0.0.0.0:9108", )" + auth + R"(, "plaintext": false})", "without TLS the password"},
        {R"({"listen": "0.0.0.0:9108", "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}})",
         "it needs \"http\": {\"auth\""},
        {R"({"plaintext": "yes"})", "http.plaintext: must be true or false"},
        {R"({"plaintext": true, "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}})",
         "http.plaintext: true contradicts \"tls\""},
        {R"({"tls": {"cert_file": "cert.pem", "key_file": "other-key.pem"}})",
         "http.tls.key_file: " + w.path("other-key.pem") + ": cannot serve with the certificate"},
        {R"({"tls": {"cert_file": "cert.pem", "key_file": "missing.pem"}})",
         "http.tls.key_file: " + w.path("missing.pem") + " cannot be read"},
        {R"({"tls": {"cert_file": "cert.pem", "key_file": "."}})", "http.tls.key_file: "},
        {R"({"tls": {"cert_file": "key.pem", "key_file": "key.pem"}})", "http.tls.cert_file: " + w.path("key.pem") +
                                                                        ": not a PEM certificate"},
        {R"({"tls": {"cert_file": "cert.pem", "key_file": "cert.pem"}})", "http.tls.key_file: " + w.path("cert.pem") +
                                                                          ": not an unencrypted PEM private key"},
        {R"({"tls": {"cert_file": "cert.pem"}})", "http.tls.key_file: must be a file name or {\"credential\": \"NAME\"}"},
        {R"({"tls": {"cert_file": "cert.pem", "key_file": "key.pem", "ca_file": "x"}})",
         "http.tls.ca_file: is not a setting"},
        {R"({"tls": "cert.pem"})", "http.tls: must be an object"},
    };
    for (const Case& c : cases) {
        const std::string error = config_error(w, c.json);
        if (c.error.empty())
            EXPECT_EQ(error, "") << c.json;
        else
            EXPECT_NE(error.find(c.error), std::string::npos) << c.json << "\ngave: " << error;
    }
}

TEST(HttpTls, ServesOnlyTls12AndLaterAndNothingToPlainHttp) {
    Workdir w;
    ASSERT_EQ(make_certificate(w), "");
    const HttpConfig config = http_config_from_json(
        parse_json(R"({"listen": "127.0.0.1:0", "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}})"),
        w.path("site.json"));
    HttpServer server(server_settings(config, nullptr), {});
    server.add_route("/hello", [](const HttpRequest&) { return HttpResponse{200, "text/plain", "hello over TLS"}; });
    server.start();
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/hello";
    EXPECT_EQ(server.url(), "https://127.0.0.1:" + std::to_string(server.port()) + "/");
    const std::string curl = "curl --silent --show-error --max-time 10 --cacert " + w.path("cert.pem") + " ";

    const auto [status, body] = run(curl + url);
    EXPECT_EQ(status, 0) << body;
    EXPECT_EQ(body, "hello over TLS");
    // A client that would take TLS 1.1 (its own floor lowered too) finds no common version.
    const auto [old_status, old_out] = run(curl + "--tlsv1.0 --tls-max 1.1 --ciphers DEFAULT@SECLEVEL=0 " + url);
    EXPECT_NE(old_status, 0) << old_out;
    EXPECT_NE(old_status, 127) << "curl is missing (package curl): " << old_out;
    // Plain HTTP to the TLS port: no HTTP answer, and the server serves on.
    EXPECT_EQ(send_http(server.port(), "GET /hello HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n", 3000).status, 0);
    EXPECT_EQ(run(curl + url).second, "hello over TLS");
}
