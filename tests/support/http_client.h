#pragma once
// A plain HTTP/1.1 client for tests: one request per connection, sent as
// written (any method, any length), the answer read until the server closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <strings.h>

struct HttpReply {
    int status = 0;  // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// Whether `raw` holds a whole answer: its head, and as many body bytes as its Content-Length says.
inline bool answer_is_whole(const std::string& raw, bool head) {
    const size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return false;
    if (head) return true;
    const std::string fields = raw.substr(0, head_end);
    const size_t at = fields.find("Content-Length: ");
    if (at == std::string::npos) return false;  // read until the server closes
    return raw.size() - head_end - 4 >= std::stoul(fields.substr(at + 16));
}

// A chunked body's data; what follows a malformed or missing chunk is dropped.
inline std::string dechunked(const std::string& chunked) {
    std::string data;
    for (size_t at = 0;;) {
        const size_t line_end = chunked.find("\r\n", at);
        if (line_end == std::string::npos) return data;
        size_t size = 0;
        try {
            size = std::stoul(chunked.substr(at, line_end - at), nullptr, 16);
        } catch (const std::exception&) {
            return data;
        }
        if (size == 0 || line_end + 2 + size > chunked.size()) return data;
        data += chunked.substr(line_end + 2, size);
        at = line_end + 2 + size + 2;
    }
}

// A connection to 127.0.0.1:port from the loopback address `source`
// (127.0.0.2 is another client than 127.0.0.1); -1 when it cannot connect.
inline int connect_loopback(uint16_t port, const char* source = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closed `fd` (or reset it) within `timeout_ms`; what it
// sent meanwhile is read and dropped.
inline bool closed_by_server(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    for (;;) {
        if (poll(&p, 1, timeout_ms) != 1) return false;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

// Sends `request` (a whole request, CRLFs included) to 127.0.0.1:port.
inline HttpReply send_http(uint16_t port, const std::string& request, int timeout_ms = 10'000,
                           const char* source = "127.0.0.1") {
    HttpReply reply;
    const int fd = connect_loopback(port, source);
    if (fd < 0) return reply;
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close before reading it all
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buf[8192];
    pollfd p{fd, POLLIN, 0};
    // Until the server closes or the answer is whole: a server may keep the
    // connection open after an error whatever the client asked.
    const bool head = request.rfind("HEAD ", 0) == 0;
    while (!answer_is_whole(raw, head) && poll(&p, 1, timeout_ms) == 1) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t head_end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos) return reply;
    reply.status = std::stoi(raw.substr(9, 3));
    for (size_t at = raw.find("\r\n") + 2; at < head_end;) {
        const size_t end = raw.find("\r\n", at);
        const std::string line = raw.substr(at, end - at);
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(tolower(c));
        reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = end + 2;
    }
    reply.body = raw.substr(head_end + 4);
    if (reply.headers["transfer-encoding"] == "chunked") reply.body = dechunked(reply.body);
    return reply;
}

inline HttpReply http_get(uint16_t port, const std::string& target, const std::string& extra_headers = "",
                          const std::string& method = "GET") {
    return send_http(port, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                               extra_headers + "\r\n");
}
