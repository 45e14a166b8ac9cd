#include "common/json_writer.h"

namespace common {

std::string json_string(std::string_view text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string s = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                s += "\\u00";
                s += digits[c >> 4];
                s += digits[c & 15];
            } else {
                s += ch;
            }
        }
    }
    return s + "\"";
}

void JsonWriter::separate()
{
    if (!first_ && !after_key_)
        text_ += ',';
    first_ = false;
    after_key_ = false;
}

JsonWriter &JsonWriter::key(std::string_view k)
{
    separate();
    text_ += json_string(k);
    text_ += ':';
    after_key_ = true;
    return *this;
}

JsonWriter &JsonWriter::raw(std::string_view json)
{
    separate();
    text_ += json;
    return *this;
}

JsonWriter &JsonWriter::open(char bracket)
{
    separate();
    text_ += bracket;
    first_ = true;
    return *this;
}

JsonWriter &JsonWriter::close(char bracket)
{
    text_ += bracket;
    first_ = false;
    after_key_ = false;
    return *this;
}

} // namespace common
