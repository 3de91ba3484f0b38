#include "host/voka-host/http/listening_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

namespace {

[[noreturn]] void fail(const ListenAddress& address, int fd) {
    const int error = errno;
    if (fd >= 0) close(fd);
    throw std::runtime_error(fmt::format("cannot listen on {}: {}", address.text(), std::strerror(error)));
}

}  // namespace

ListeningSocket::ListeningSocket(const ListenAddress& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool v6 = address.host.find(':') != std::string::npos;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &a.sin6_addr);
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        a.sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &a.sin_addr);
        length = sizeof a;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail(address, fd);
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (v6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);  // "[::]" means IPv6 only
    if (bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 || listen(fd, SOMAXCONN) != 0)
        fail(address, fd);
    socklen_t bound_length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &bound_length) != 0) fail(address, fd);
    fd_ = fd;
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(storage).sin_port);
}

ListeningSocket::~ListeningSocket() {
    if (fd_ >= 0) close(fd_);
}

ListeningSocket::ListeningSocket(ListeningSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

int ListeningSocket::release() { return std::exchange(fd_, -1); }

ListeningSocket ListeningSocket::duplicate() const {
    const int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("cannot share the listening socket: ") + std::strerror(errno));
    return ListeningSocket(fd, port_);
}
