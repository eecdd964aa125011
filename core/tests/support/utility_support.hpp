// Helpers shared by the test families of the byte utilities (utility, bom,
// character_counts, transform_file): byte vectors from literals, the byte
// transforms the tests pass, and the check of the lines logged to stderr.
#ifndef SKARN_TESTS_UTILITY_SUPPORT_HPP
#define SKARN_TESTS_UTILITY_SUPPORT_HPP

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

namespace skarn_test {

inline std::vector<uint8_t> byte_vector(std::initializer_list<int> values) {
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

inline std::vector<uint8_t> byte_vector(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// One line logged to stderr: "<source>@<line>::<function>: <message>".
struct LogLine {
    std::string source;  // the source file's name, such as "utility.cpp"
    std::string function;
    std::string message;
};

// Asserts that `captured` is exactly the given lines, in order.
inline void expect_log_lines(const std::string &captured, const std::vector<LogLine> &lines) {
    std::string pattern;
    for (const auto &line : lines) {
        pattern += std::regex_replace(line.source, std::regex("\\."), "\\.") + "@[0-9]+::" + line.function + ": " +
                   line.message + "\n";
    }
    EXPECT_TRUE(std::regex_match(captured, std::regex(pattern))) << "stderr was:\n" << captured;
}

// The bytes a transform was called with, in order.
struct TransformLog {
    std::vector<uint8_t> seen;
};

// Upper-cases ASCII letters, recording each byte in the TransformLog at `user_data`.
inline uint8_t upper_and_record(uint8_t byte, void *user_data) {
    static_cast<TransformLog *>(user_data)->seen.push_back(byte);
    return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 'a' + 'A') : byte;
}

inline uint8_t invert(uint8_t byte, void *) { return static_cast<uint8_t>(~byte); }

}  // namespace skarn_test

#endif  // SKARN_TESTS_UTILITY_SUPPORT_HPP
