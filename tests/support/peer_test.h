// The fixture of every library test: a fake peer and one client handle to it.
#pragma once

#include "fake_peer.h"
#include "kiv.h"

#include <gtest/gtest.h>

namespace kivtest {

class PeerTest : public ::testing::Test {
protected:
    // Starts the script written so far and connects a handle to the peer.
    void connect_to_peer()
    {
        peer.start();
        ASSERT_EQ(KIV_Connect(FakePeer::address, peer.port(), 1000, &handle), KIV_OK);
    }

    void TearDown() override
    {
        if (handle >= 0)
            KIV_Close(handle);
        peer.finish();
    }

    FakePeer peer;
    int handle = -1;
};

} // namespace kivtest
