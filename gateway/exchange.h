// The Modbus requests that the engine makes, built and judged with the
// library's own frame code, and what their data means for the process
// image. Pure functions: the engine does the waiting.
#pragma once

#include "process_image.h"

#include "kiv.hpp"
#include "kiv_frame.h"

#include <cstdint>
#include <span>

namespace gateway {

struct Request {
    kiv::mb::Function function = kiv::mb::Function::read_coils;
    int start = 0;
    int quantity = 0;
    std::size_t bytes = 0;  // reads: the data bytes that a whole reply carries
    bool on = false;        // write single coil
};

// The reads of a poll, the steps of an output command.
Request poll_request(const kiv::poll_read &r);
Request write_output(int channel, bool on);
Request read_output(int channel);

// The request as a frame with this transaction id; its size.
std::size_t build_request(const Request &r, std::span<unsigned char> frame, std::uint16_t transaction);

// A reply that carries the request's transaction id: KIV_OK when it is the
// request's own answer with exactly the data asked for (then data holds
// it), KIV_ERR_EXCEPTION, or KIV_ERR_RESPONSE.
kiv::mb::Judged judge_reply(const Request &r, std::span<const unsigned char> frame);

// Puts one read's data into the image.
void store(ProcessImage &p, kiv::poll_data what, std::span<const unsigned char> data, const kiv::model_info &m);

} // namespace gateway
