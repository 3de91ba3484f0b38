// Secrets named by the site file: as a path or as a credential the service
// manager hands over ($CREDENTIALS_DIRECTORY), every refusal naming the key;
// a secret file others may read told at start; and the start's other
// warning, an MQTT password sent in clear.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/voka-host/http/http_config.h"
#include "host/voka-host/mqtt/mqtt_config.h"
#include "host/voka-host/config/secret_file.h"
#include "host/voka-host/site_config.h"
#include "host/voka-host/start_warnings.h"
#include "tests/support/config_refusal.h"
#include "tests/support/json.h"

namespace {

namespace fs = std::filesystem;

// A site file's folder and a credentials folder, each test its own.
struct Folders {
    fs::path dir = fs::path(testing::TempDir()) /
                   (std::string("voka-secrets-") + testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path site = dir / "site" / "north.json";
    fs::path credentials = dir / "credentials";
    Folders() {
        fs::create_directories(site.parent_path());
        fs::create_directories(credentials);
        std::ofstream(site.parent_path() / "mqtt.pw") << "from-a-file\n";
        std::ofstream(credentials / "voka.mqtt-password") << "from-a-credential\n";
        std::ofstream(credentials / "voka.http-password-hash") << "$5$salt$kpa26zwgX83BPSR8d7w93OIXbFt/d3UOTZaAu5vsTM6\n";
        std::ofstream(credentials / "bad-hash") << "plain\n";
    }
    ~Folders() { fs::remove_all(dir); }
    std::string in_site(const std::string& name) const { return (site.parent_path() / name).string(); }
    std::string credential(const std::string& name) const { return (credentials / name).string(); }
};


}  // namespace

// Each form where a secret can be named, read from the file or credential it
// names; and each way it can be wrong, with the message a site engineer reads.
TEST(SecretFile, ReadsAPathOrACredentialAndNamesTheKeyOfAnyRefusal) {
    Folders f;
    const std::string site = f.site.string();
    const std::string dir = f.credentials.string();
    const auto mqtt = [&](const std::string& secret) {
        return [=] {
            mqtt_config_from_json(parse_json(R"({"host": "b", "username": "u", "password_file": )" + secret + "}"),
                                  site);
        };
    };
    const auto http = [&](const std::string& hash) {
        return [=] {
            http_config_from_json(parse_json(R"({"auth": {"user": "u", "password_hash": )" + hash + "}}"), site);
        };
    };

    setenv(kCredentialsDirectoryVariable, dir.c_str(), 1);
    const auto from_file = mqtt_config_from_json(
        parse_json(R"({"host": "b", "username": "u", "password_file": "mqtt.pw"})"), site);
    EXPECT_EQ(from_file->password, "from-a-file");
    EXPECT_EQ(from_file->password_file, (SecretFile{f.in_site("mqtt.pw"), "mqtt.password_file", false}));
    const auto from_credential = mqtt_config_from_json(
        parse_json(R"({"host": "b", "username": "u", "password_file": {"credential": "voka.mqtt-password"}})"), site);
    EXPECT_EQ(from_credential->password, "from-a-credential");
    EXPECT_TRUE(from_credential->password_file->credential);
    const auto hash = http_config_from_json(
        parse_json(R"({"auth": {"user": "u", "password_hash": {"credential": "voka.http-password-hash"}}})"), site);
    EXPECT_EQ(hash.auth->password_hash, "$5$salt$kpa26zwgX83BPSR8d7w93OIXbFt/d3UOTZaAu5vsTM6");
    EXPECT_EQ(hash.auth->password_hash_file->path, f.credential("voka.http-password-hash"));

    struct Case {
        const char* name;
        std::function<void()> read;
        bool credentials_set;
        std::string message;  // after "<site>: "
    };
    const std::vector<Case> cases = {
        {"a credential missing", mqtt(R"({"credential": "voka.nothing"})"), true,
         "mqtt.password_file: the credential \"voka.nothing\" is not in $CREDENTIALS_DIRECTORY (" + dir +
             "): is /etc/credstore/voka.nothing there, and does the unit load it (LoadCredential=voka.nothing)?"},
        {"no credentials folder", mqtt(R"({"credential": "voka.mqtt-password"})"), false,
         "mqtt.password_file: names the credential \"voka.mqtt-password\", but $CREDENTIALS_DIRECTORY is not set: "
         "only a service started with LoadCredential=voka.mqtt-password hands it over"},
        {"a name that leaves the folder", mqtt(R"({"credential": "../site/mqtt.pw"})"), true,
         "mqtt.password_file.credential: must be a plain file name (no '/')"},
        {"another key beside the name", mqtt(R"({"credential": "voka.mqtt-password", "path": "x"})"), true,
         "mqtt.password_file: must be a file name or {\"credential\": \"NAME\"}"},
        {"a file missing", mqtt(R"("nope")"), true, "mqtt.password_file: " + f.in_site("nope") + " cannot be read"},
        {"a credential that holds no hash", http(R"({"credential": "bad-hash"})"), true,
         "http.auth.password_hash: must be a crypt(3) hash of a strong method ($6$, $5$, $y$, $2b$), as `mkpasswd -m "
         "sha-512` or `openssl passwd -6` make it"},
    };
    for (const Case& c : cases) {
        if (c.credentials_set)
            setenv(kCredentialsDirectoryVariable, dir.c_str(), 1);
        else
            unsetenv(kCredentialsDirectoryVariable);
        EXPECT_EQ(config_refusal(c.read), site + ": " + c.message) << c.name;
    }
    unsetenv(kCredentialsDirectoryVariable);
}

// Whom the mode of a secret file lets in, said in words; a credential is
// never warned about, whatever its mode.
TEST(SecretFile, WarnsAboutAFileItsGroupOrOthersMayReadOrWrite) {
    Folders f;
    const std::string path = f.in_site("mqtt.pw");
    const std::string tail = ": chmod 600 " + path + " (for the service, hand it over as a credential instead)";
    struct Case {
        mode_t mode;
        std::string words;  // "" for no warning
    };
    const std::vector<Case> cases = {
        {0600, ""},
        {0400, ""},
        {0640, "readable by its group"},
        {0604, "readable by others"},
        {0644, "readable by its group and others"},
        {0620, "writable by its group"},
        {0666, "readable by its group and others and writable by its group and others"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        const std::string expected =
            c.words.empty() ? "" : "voka-host: " + path + " holds a secret (mqtt.password_file) and is " + c.words + tail;
        EXPECT_EQ(exposed_secret_warning({path, "mqtt.password_file", false}), expected) << std::oct << c.mode;
    }
    EXPECT_EQ(exposed_secret_warning({path, "mqtt.password_file", true}), "");
}

// At start: the exposed secret file, and a password sent without TLS to a
// broker off this machine; nothing for a broker on loopback or over TLS.
TEST(SecretFile, StartWarnsOfAnExposedSecretAndAPasswordInClear) {
    Folders f;
    const std::string pw = f.in_site("mqtt.pw");
    ASSERT_EQ(chmod(pw.c_str(), 0644), 0);
    const auto warnings_for = [&](const std::string& host, bool tls) {
        SiteConfig site;
        MqttConfig m;
        m.host = host;
        m.username = "voka";
        m.password = "x";
        m.password_file = SecretFile{pw, "mqtt.password_file", false};
        if (tls) m.tls = MqttTls{f.in_site("mqtt.pw"), std::nullopt, std::nullopt, false};
        site.mqtt = m;
        return start_warnings(site);
    };
    const std::string exposed = exposed_secret_warning({pw, "mqtt.password_file", false});
    ASSERT_FALSE(exposed.empty());
    EXPECT_EQ(warnings_for("broker.example", false),
              (std::vector<std::string>{exposed, "voka-host: mqtt: the password of \"voka\" goes to broker.example:1883 "
                                                 "without TLS: whoever sees the traffic reads it (add \"tls\" to "
                                                 "\"mqtt\")"}));
    for (const char* loopback : {"127.0.0.1", "localhost", "::1"})
        EXPECT_EQ(warnings_for(loopback, false), std::vector<std::string>{exposed}) << loopback;
    EXPECT_EQ(warnings_for("broker.example", true), std::vector<std::string>{exposed});
}
