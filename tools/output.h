// What the tool prints: tables and JSON on its own standard output, errors
// and the --verbose trace on standard error.
#pragma once

#include "common/json_writer.h"

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivtool {

// The library prints its diagnostics ("recv failed:%d") on standard output,
// where they would break a table or a JSON line: the tool keeps standard
// output for itself and sends the library's lines to standard error with
// --verbose, and nowhere otherwise. Call once, first.
void setup_streams(bool verbose);
// The tool's standard output.
std::FILE *out_stream();
// "kivtool: <line>" on standard error.
void error_line(std::string_view line);
// The same, with --verbose only.
void trace_line(bool verbose, std::string_view line);

// Modbus exception codes in words: "illegal data address" for 2; empty for
// a code the protocol does not name.
std::string_view exception_name(unsigned code);

// A result code's constant: "KIV_ERR_TIMEOUT", "ECONNREFUSED", "ENOSPC".
std::string code_name(int code);

// A range label as people write units: "0~20mA", "-150~150mV".
std::string unit_case(std::string_view label);

// Whether everything printed so far reached standard output; false after a
// failed write (a closed pipe, a full disk), with the error on standard
// error once.
bool output_ok();

std::string hex_bytes(std::span<const unsigned char> bytes);
// Control characters shown as \r, \n, \xNN: module answers in messages.
std::string printable(std::string_view text);

using common::json_string;
std::string json_array(const std::vector<std::string> &raw_items);

// An object whose values are JSON text, in the order they were added.
class JsonObject {
public:
    JsonObject &raw(std::string key, std::string json)
    {
        fields_.emplace_back(std::move(key), std::move(json));
        return *this;
    }
    JsonObject &str(std::string key, std::string_view s) { return raw(std::move(key), json_string(s)); }
    JsonObject &num(std::string key, long long v) { return raw(std::move(key), std::to_string(v)); }
    JsonObject &flag(std::string key, bool v) { return raw(std::move(key), v ? "true" : "false"); }
    JsonObject &merge(const JsonObject &other)
    {
        for (const auto &f : other.fields_)
            fields_.push_back(f);
        return *this;
    }
    bool empty() const { return fields_.empty(); }
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// Columns separated by two spaces, each as wide as its widest cell.
class Table {
public:
    Table() = default;
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    // The header first; empty for no table.
    const std::vector<std::vector<std::string>> &rows() const { return rows_; }
    std::string text() const;

private:
    std::vector<std::vector<std::string>> rows_;
};

} // namespace kivtool
