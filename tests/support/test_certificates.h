#pragma once
// Certificates made by the openssl program for a test, in the test's folder:
// a CA (ca.crt, ca.key), a server certificate for localhost and 127.0.0.1
// (server.crt, server.key), a client certificate (client.crt, client.key), a
// key of nobody's certificate (other.key) and a second CA that signed none of
// them (stranger.crt). Each is valid from now for two days. A machine without
// openssl fails the test: it cannot be checked without real certificates.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace test_certificates {

inline constexpr int kValidDays = 2;

inline void make(const std::filesystem::path& dir) {
    const std::string d = dir.string();
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string days = " -days " + std::to_string(kValidDays) + " ";
    const std::string sign = " -CA ca.crt -CAkey ca.key -CAcreateserial" + days;
    const std::string script =
        "cd '" + d + "' && exec 2>openssl.log && openssl req -x509" + key + "-keyout ca.key -out ca.crt" + days +
        "-subj /CN=voka-test-ca && openssl req -x509" + key + "-keyout stranger.key -out stranger.crt" + days +
        "-subj /CN=voka-test-stranger && openssl req" + key + "-keyout server.key -out server.csr -subj /CN=localhost"
        " && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && openssl x509 -req -in server.csr" +
        sign + "-extfile san.ext -out server.crt && openssl req" + key +
        "-keyout client.key -out client.csr -subj /CN=voka-test-client && openssl x509 -req -in client.csr" + sign +
        "-out client.crt && openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:prime256v1 -out other.key"
        " && chmod 0644 server.key";
    ASSERT_EQ(std::system(script.c_str()), 0) << "openssl could not make the test's certificates (see " << d
                                              << "/openssl.log; scripts/install-deps.sh installs openssl)";
}

}  // namespace test_certificates
