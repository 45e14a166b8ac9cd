// The Sparkplug B birth/death sequence number (bdSeq), kept in a small
// file so that a restarted gateway goes on from where the last run was:
// the file always holds the number the next session takes, so even a
// kill -9 never makes a host see one number for two sessions.
#pragma once

#include <cstdint>
#include <string>

namespace gateway {

// state_file, or "$STATE_DIRECTORY/sparkplug-bdseq" (the first folder of
// the unit's StateDirectory), or "sparkplug-bdseq" in the working folder.
std::string bdseq_path(const std::string &state_file);

class BdSeqFile {
public:
    // Reads the number to use (0 when the file is missing or unreadable,
    // said in the log) and writes the one after it.
    explicit BdSeqFile(std::string path);
    std::uint8_t current() const { return n_; }
    // The session of current() ended: the next one takes the next number.
    void advance();

private:
    void write_next();

    std::string path_;
    std::uint8_t n_ = 0;
    bool said_ = false;  // a failed write was logged
};

} // namespace gateway
