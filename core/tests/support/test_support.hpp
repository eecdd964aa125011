// Helpers shared by the test families: a scratch directory per test, small
// whole-file and byte helpers, sessions held by RAII, a capture of the
// library's log, character counts as plain values, and checks that more than
// one family makes.
#ifndef SKARN_TESTS_SUPPORT_HPP
#define SKARN_TESTS_SUPPORT_HPP

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "skarn_edit.hpp"

namespace skarn_test {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with everything
// in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "skarn_test_";
        if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name() + "_";
        for (char &c : name) {
            if (c == '/') c = '_';
        }
        path_ = fs::temp_directory_path() / (name + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const fs::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

    // Names of the entries of the directory, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of `text`, as the library's byte interfaces take them.
inline const uint8_t *bytes_of(std::string_view text) { return reinterpret_cast<const uint8_t *>(text.data()); }

// Appends the UTF-8 encoding of `cp` to `out`, a std::string or a byte vector.
template <typename Bytes>
void append_utf8(Bytes &out, uint32_t cp) {
    const auto put = [&out](uint32_t byte) { out.push_back(static_cast<typename Bytes::value_type>(byte)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

// Random bytes from a seeded engine.
inline std::string random_bytes(std::mt19937_64 &rng, size_t n) {
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

// Names of the entries of `dir` that begin with `prefix`, sorted.
inline std::vector<std::string> names_with_prefix(const fs::path &dir, const std::string &prefix) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A path of exactly `length` characters: `base` followed by directory names.
inline std::string directory_of_length(const std::string &base, size_t length, char fill) {
    std::string path = base;
    while (path.size() < length) {
        const size_t remaining = length - path.size();  // room for "/" and a name
        size_t name = std::min<size_t>(remaining - 1, 100);
        if (remaining - 1 - name == 1) --name;  // never leave room for a lone "/"
        path += '/';
        path.append(name, fill);
    }
    return path;
}

// Redirects std::clog, where the library writes its log lines and dumps, for
// one scope.
class ClogCapture {
public:
    ClogCapture() : previous_(std::clog.rdbuf(buffer_.rdbuf())) {}
    ~ClogCapture() { std::clog.rdbuf(previous_); }
    ClogCapture(const ClogCapture &) = delete;
    ClogCapture &operator=(const ClogCapture &) = delete;
    std::string str() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf *previous_;
};

// ---------------------------------------------------------------------------
// Sessions

struct SessionDeleter {
    void operator()(skarn_session_struct *session) const { skarn_edit_destroy_session(session); }
};
using Session = std::unique_ptr<skarn_session_struct, SessionDeleter>;

// A session over the file at `path` (over nothing when `path` is empty),
// without callbacks, with its checkpoint files in `dir`.
inline Session open_session(const std::string &path, const TempDir &dir) {
    return Session(
        skarn_edit_create_session(path.empty() ? nullptr : path.c_str(), nullptr, nullptr, 0, dir.str().c_str()));
}

// A session over a new file in `dir` holding `content`, with its checkpoint
// files in the same directory.
inline Session open_file_session(const TempDir &dir, const std::string &content) {
    const std::string path = dir.file("content.bin");
    write_file(path, content);
    return open_session(path, dir);
}

// The whole computed content. It asks for one byte more than the computed
// size, so that a byte past the end would show.
inline std::string content_of(const skarn_session_struct *session) {
    return skarn_session_get_segment_string(session, 0, skarn_session_get_computed_file_size(session) + 1);
}

// ---------------------------------------------------------------------------
// Character counts

// Counts of one counting, for comparisons: bom, single, double, triple, quad, invalid.
struct Counts {
    int64_t bom = 0, single = 0, dbl = 0, triple = 0, quad = 0, invalid = 0;
    bool operator==(const Counts &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Counts &c) {
    return out << "{bom " << c.bom << ", single " << c.single << ", double " << c.dbl << ", triple " << c.triple
               << ", quad " << c.quad << ", invalid " << c.invalid << "}";
}

inline Counts read_counts(const skarn_character_counts_struct *record) {
    return {skarn_character_counts_bom_bytes(record),         skarn_character_counts_single_byte_chars(record),
            skarn_character_counts_double_byte_chars(record), skarn_character_counts_triple_byte_chars(record),
            skarn_character_counts_quad_byte_chars(record),   skarn_character_counts_invalid_bytes(record)};
}

// ---------------------------------------------------------------------------
// Checks that more than one family makes

// skarn_util_compute_mode keeps only the owner's read and write bits.
inline void expect_compute_mode_keeps_only_owner_read_and_write() {
    EXPECT_EQ(skarn_util_compute_mode(0666), 0600);
    EXPECT_EQ(skarn_util_compute_mode(0444), 0400);
    EXPECT_EQ(skarn_util_compute_mode(0), 0);
    EXPECT_EQ(skarn_util_compute_mode(0777), 0600);
    EXPECT_EQ(skarn_util_compute_mode(0200), 0200);
}

}  // namespace skarn_test

#endif  // SKARN_TESTS_SUPPORT_HPP
