#pragma once
// Secrets a site file names (the MQTT password and client key, the HTTP
// password hash, the HTTP TLS key), kept as a service manager expects: where
// the site file names a secret it may give a file's path, or a credential
// that systemd hands to the service (LoadCredential=) in the folder
// $CREDENTIALS_DIRECTORY names, readable by the service's user only:
//
//   "password_file": "/etc/voka/mqtt.pw"                   a file: relative to the site file's folder
//   "password_file": {"credential": "voka.mqtt-password"}  $CREDENTIALS_DIRECTORY/voka.mqtt-password
//
// A secret file that its group or others may read or write is worth a
// warning at start (exposed_secret_warning); a credential never is: the
// service manager made it private.
#include <string>

#include <json/value.h>

// The environment variable systemd sets to the service's credentials folder.
inline constexpr const char* kCredentialsDirectoryVariable = "CREDENTIALS_DIRECTORY";

// A file that holds a secret, as the site file named it.
struct SecretFile {
    std::string path;         // the file to read: as named, or the credential's in the credentials folder
    std::string key;          // where the site file names it, for messages: "mqtt.password_file"
    bool credential = false;  // handed over by the service manager
    friend bool operator==(const SecretFile&, const SecretFile&) = default;
};

// $CREDENTIALS_DIRECTORY, or null when it is not set (voka-host is not run
// by a unit that loads credentials).
const char* credentials_directory_from_environment();

// {"credential": "NAME"} at `key` of the site file `source`: the file NAME in
// `credentials_directory` (null: not set). Throws ConfigError naming the file
// and the key: another shape, a NAME that is not a plain file name, no
// credentials folder, or a credential that is missing or cannot be read.
SecretFile credential_from_json(const Json::Value& value, const std::string& source, const std::string& key,
                                const char* credentials_directory);

// A path (a non-empty string) or a credential (as above) at `key`; the file
// must be readable now. Throws ConfigError naming the file and the key.
SecretFile secret_file_from_json(const Json::Value& value, const std::string& source, const std::string& key,
                                 const char* credentials_directory);

// The secret's first line without its line end. Throws ConfigError naming
// the key when the file cannot be read.
std::string read_secret_line(const SecretFile& secret, const std::string& source);

// A warning for a secret file that its group or others may read or write,
// with the command that makes it private; "" when only its owner may (or it
// cannot be looked at), and always for a credential.
std::string exposed_secret_warning(const SecretFile& secret);
