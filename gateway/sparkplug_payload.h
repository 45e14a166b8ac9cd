// Sparkplug B payloads: what the edge node publishes, and the commands it
// reads. protobuf-c stays behind this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace gateway::sparkplug {

// The data type numbers every Sparkplug B host knows.
enum class DataType : std::uint32_t {
    Unknown = 0,
    Int8 = 1, Int16 = 2, Int32 = 3, Int64 = 4,
    UInt8 = 5, UInt16 = 6, UInt32 = 7, UInt64 = 8,
    Float = 9, Double = 10, Boolean = 11, String = 12,
    DateTime = 13, Text = 14, UUID = 15,
    DataSet = 16, Bytes = 17, File = 18, Template = 19,
};

struct Metric {
    std::string name;                 // empty: not written (data messages use the alias alone)
    std::uint64_t alias = 0;          // 0: not written
    std::uint64_t timestamp = 0;      // ms since the epoch; 0: not written
    DataType type = DataType::Double;
    bool is_null = false;             // no value written
    bool historical = false;          // is_historical written only when true
    // The alternative the type takes: bool for Boolean; std::uint64_t for
    // the integers and DateTime (a signed one as its two's complement);
    // double for Float and Double; std::string for String, Text and UUID.
    using Value = std::variant<bool, std::uint64_t, double, std::string>;
    Value value;
    std::vector<std::pair<std::string, std::string>> properties;  // String properties ("range", "engUnit")

    bool operator==(const Metric &) const = default;
};

struct Payload {
    std::uint64_t timestamp = 0;       // 0: not written
    std::optional<std::uint64_t> seq;  // a death certificate has none
    std::vector<Metric> metrics;

    bool operator==(const Payload &) const = default;
};

// The bytes to publish. Throws std::invalid_argument when a metric that is
// not null holds another alternative than its type takes, or has a type
// this encoder does not write (DataSet, Bytes, File, Template): a mistake
// of the caller's, not of the data.
std::string encode(const Payload &);

// Commands come from anyone who may publish on their topic; so these are
// refused before any decoding.
inline constexpr std::size_t max_decoded_bytes = 256 * 1024;

// A received payload (NCMD, DCMD), or nothing when the bytes are not one:
// malformed, larger than max_decoded_bytes, needing more memory than a
// fixed budget, or with a metric whose value contradicts its datatype.
// Fills the payload's timestamp and seq and each metric's name, alias,
// timestamp, type, is_null, historical and value; properties are not read.
// A metric without a datatype takes its type from the value it carries
// (UInt32 for an int_value, UInt64 for a long_value, Float, Double,
// Boolean, String), Unknown when it carries none; one whose value this
// decoder does not read (a data set, bytes, a template) is null.
std::optional<Payload> decode(std::string_view bytes);

// A payload encoded without seq, with seq: a stored message replayed in a
// later session gets the sequence number of its sending. Protobuf takes
// the last of a repeated scalar field, so it also replaces an earlier seq.
std::string with_seq(std::string encoded_without_seq, std::uint64_t seq);

} // namespace gateway::sparkplug
