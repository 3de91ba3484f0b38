#pragma once
// A bound, listening TCP socket for the HTTP server, owned: closed when it goes.
#include <cstdint>

#include "host/voka-host/http/listen_address.h"

class ListeningSocket {
public:
    // Binds `address` (port 0: any free port) and listens, with address reuse
    // for a quick restart but never a port shared with another process.
    // Throws std::runtime_error "cannot listen on ADDRESS: reason".
    explicit ListeningSocket(const ListenAddress& address);
    ~ListeningSocket();
    ListeningSocket(ListeningSocket&& other) noexcept;
    ListeningSocket& operator=(ListeningSocket&&) = delete;
    ListeningSocket(const ListeningSocket&) = delete;

    // Another owner of the same socket (a server taking over from another on
    // the same address). Throws std::runtime_error.
    ListeningSocket duplicate() const;
    int fd() const { return fd_; }
    // The descriptor, which the caller now owns.
    int release();
    uint16_t port() const { return port_; }

private:
    ListeningSocket(int fd, uint16_t port) : fd_(fd), port_(port) {}
    int fd_ = -1;
    uint16_t port_ = 0;
};
