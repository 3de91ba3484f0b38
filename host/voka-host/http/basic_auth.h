#pragma once
// HTTP basic authentication against one configured user and a crypt(3)
// password hash ("$6$..." from `mkpasswd -m sha-512` or `openssl passwd -6`,
// or "$y$..." / "$5$..." / "$2b$..."). The secret parts are compared in
// constant time, so the time an answer takes says nothing about how much of
// a guess was right.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

struct BasicCredential {
    std::string user;
    std::string password;
};

// The user and password of an "Authorization: Basic ..." header value;
// nothing when it is not one (another scheme, bad base64, no colon).
std::optional<BasicCredential> parse_basic_authorization(std::string_view header);

// Whether libcrypt understands `hash` as one of the strong methods above.
bool usable_password_hash(const std::string& hash);

// Whether `a` and `b` are equal, in a time that depends on their lengths only.
bool equal_in_constant_time(std::string_view a, std::string_view b);

class BasicAuth {
public:
    // A hash whose check takes longer holds up every request it guards (the
    // server checks on its one thread): voka-host warns about it at start.
    static constexpr std::chrono::milliseconds kSlowCheck{50};

    BasicAuth(std::string user, std::string password_hash)
        : user_(std::move(user)), password_hash_(std::move(password_hash)) {}
    // Whether the Authorization header value names the user with the right password.
    bool accepts(std::string_view authorization_header) const;
    // What one check of a password against the hash takes on this machine, in
    // CPU time of the calling thread, measured.
    std::chrono::microseconds check_cost() const;

private:
    std::string user_;
    std::string password_hash_;
};
