#include "host/voka-host/config/secret_file.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <fmt/format.h>

#include "host/voka-host/config/config_error.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& source, const std::string& key, const std::string& problem) {
    throw ConfigError(fmt::format("{}: {}: {}", source, key, problem));
}

bool readable_file(const std::string& path) {
    std::error_code ec;
    return std::ifstream(path, std::ios::binary).good() && !fs::is_directory(path, ec);
}

// A name systemd accepts for a credential, and one that stays inside the folder.
bool plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// Whom a file's mode lets do something: "its group", "others", both or "".
std::string who(mode_t mode, mode_t group_bit, mode_t others_bit) {
    if ((mode & group_bit) && (mode & others_bit)) return "its group and others";
    if (mode & group_bit) return "its group";
    if (mode & others_bit) return "others";
    return "";
}

}  // namespace

const char* credentials_directory_from_environment() { return std::getenv(kCredentialsDirectoryVariable); }

SecretFile credential_from_json(const Json::Value& value, const std::string& source, const std::string& key,
                                const char* credentials_directory) {
    if (!value.isObject() || value.size() != 1 || !value.isMember("credential") || !value["credential"].isString())
        fail(source, key, "must be a file name or {\"credential\": \"NAME\"}");
    const std::string name = value["credential"].asString();
    if (!plain_file_name(name)) fail(source, key + ".credential", "must be a plain file name (no '/')");
    if (!credentials_directory || !*credentials_directory)
        fail(source, key,
             fmt::format("names the credential \"{}\", but ${} is not set: only a service started with "
                         "LoadCredential={} hands it over",
                         name, kCredentialsDirectoryVariable, name));
    SecretFile secret{(fs::path(credentials_directory) / name).string(), key, true};
    if (!readable_file(secret.path))
        fail(source, key,
             fmt::format("the credential \"{}\" is not in ${} ({}): is /etc/credstore/{} there, and does the unit "
                         "load it (LoadCredential={})?",
                         name, kCredentialsDirectoryVariable, credentials_directory, name, name));
    return secret;
}

SecretFile secret_file_from_json(const Json::Value& value, const std::string& source, const std::string& key,
                                 const char* credentials_directory) {
    if (!value.isString()) return credential_from_json(value, source, key, credentials_directory);
    const std::string named = value.asString();
    if (named.empty()) fail(source, key, "must be a file name or {\"credential\": \"NAME\"}");
    const fs::path p(named);
    SecretFile secret{p.is_absolute() ? named : (fs::path(source).parent_path() / p).string(), key, false};
    if (!readable_file(secret.path)) fail(source, key, fmt::format("{} cannot be read", secret.path));
    return secret;
}

std::string read_secret_line(const SecretFile& secret, const std::string& source) {
    std::ifstream in(secret.path, std::ios::binary);
    if (!in) fail(source, secret.key, fmt::format("{} cannot be read", secret.path));
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string exposed_secret_warning(const SecretFile& secret) {
    struct stat st {};
    if (secret.credential || stat(secret.path.c_str(), &st) != 0) return "";
    const std::string readers = who(st.st_mode, S_IRGRP, S_IROTH);
    const std::string writers = who(st.st_mode, S_IWGRP, S_IWOTH);
    if (readers.empty() && writers.empty()) return "";
    std::vector<std::string> parts;
    if (!readers.empty()) parts.push_back("readable by " + readers);
    if (!writers.empty()) parts.push_back("writable by " + writers);
    return fmt::format("voka-host: {} holds a secret ({}) and is {}: chmod 600 {} (for the service, hand it over "
                       "as a credential instead)",
                       secret.path, secret.key, fmt::join(parts, " and "), secret.path);
}
