// The JSON writer that the values payload and kivtool --json share: commas
// where they belong at every depth, numbers with the digits they were
// given, and text escaped as a module's bytes need.
#include "common/json_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using common::JsonWriter;

TEST(JsonWriter, CommasNumbersAndEscapes)
{
    JsonWriter w;
    w.begin_object().key("a").begin_array().end_array().key("b").begin_object().end_object();
    w.key("n").begin_array().number(std::numeric_limits<std::uint64_t>::max()).number(-7LL).number(0);
    w.number_text("12.50").number_text("-0.70").end_array();
    w.key("list").begin_array().begin_object().key("x").boolean(true).end_object();
    w.begin_object().key("y").null().end_object().string("s").end_array();
    w.key("t\"k").string(std::string("q\"\\\n\r\t\x01\x7f\xc2\xb0 ", 11)).end_object();
    EXPECT_EQ(w.take(), "{\"a\":[],\"b\":{},\"n\":[18446744073709551615,-7,0,12.50,-0.70],"
                        "\"list\":[{\"x\":true},{\"y\":null},\"s\"],"
                        "\"t\\\"k\":\"q\\\"\\\\\\n\\r\\t\\u0001\\u007f\\u00c2\\u00b0 \"}");
}
