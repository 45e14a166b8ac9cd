// Fixture of the configuration tests: the peer's script starts with an
// accepted login without password, and log_in() opens the dialogue.
#pragma once

#include "peer_test.h"

#include <cerrno>
#include <fcntl.h>
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
