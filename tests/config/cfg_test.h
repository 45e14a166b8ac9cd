// Fixture of the configuration tests: the peer's script starts with an
// accepted login without password, and log_in() opens the dialogue.
#pragma once

#include "peer_test.h"

#include <cerrno>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string_view>

namespace kivtest {

inline Bytes line(std::string_view s)
{
    return text(s);
}

// Whether fd is no longer an open descriptor of this process.
inline bool is_closed(int fd)
{
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// Whether fd is a socket connected to port on this host. Once the library
// has closed a handle, the peer's thread may already have a descriptor of
// its own under that number: "closed" is then "no longer connected to the
// peer", not "the number is free".
inline bool connected_to(int fd, int port)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0)
        return false;
    return a.sin_family == AF_INET && ntohs(a.sin_port) == port;
}

class CfgTest : public PeerTest {
protected:
    void SetUp() override { peer.expect(line("L:\r\n")).send(line("A:LoginOK\r\n")); }

    // Starts the script and logs in; handle is then the dialogue.
    void log_in()
    {
        peer.start();
        int h = -1;
        ASSERT_EQ(KIV_Cfg_Login(FakePeer::address, peer.port(), 1000, "", &h), KIV_OK);
        handle = h;
    }
};

} // namespace kivtest
