// JSON written as it goes, for output whose numbers must keep the digits
// they were given: a reading of 12 and 50 is 12.50, which a JSON library
// holding it as a double would print as 12.5. Where the digits do not
// matter, nlohmann-json is the simpler tool.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace common {

// s quoted, with quotes, backslashes and control characters escaped, and
// every byte outside printable ASCII as \u00XX: module answers are bytes,
// not necessarily UTF-8.
std::string json_string(std::string_view s);

// Values in the order written; the commas between the elements of an
// array and the members of an object come by themselves.
class JsonWriter {
public:
    JsonWriter &begin_object() { return open('{'); }
    JsonWriter &end_object() { return close('}'); }
    JsonWriter &begin_array() { return open('['); }
    JsonWriter &end_array() { return close(']'); }
    // An object's member name; its value follows.
    JsonWriter &key(std::string_view k);
    JsonWriter &string(std::string_view v) { return raw(json_string(v)); }
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    JsonWriter &number(T v)
    {
        return raw(std::to_string(v));
    }
    // A number as its digits were given: "12.50" stays 12.50.
    JsonWriter &number_text(std::string_view digits) { return raw(digits); }
    JsonWriter &boolean(bool v) { return raw(v ? "true" : "false"); }
    JsonWriter &null() { return raw("null"); }
    // A value that is JSON text already.
    JsonWriter &raw(std::string_view json);

    std::string take() { return std::move(text_); }

private:
    JsonWriter &open(char bracket);
    JsonWriter &close(char bracket);
    void separate();

    std::string text_;
    bool first_ = true;     // nothing yet in the innermost array or object
    bool after_key_ = false;
};

} // namespace common
