// Helpers shared by the test families: a scratch directory per test and small
// whole-file helpers.
#ifndef SKARN_TESTS_SUPPORT_HPP
#define SKARN_TESTS_SUPPORT_HPP

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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

// Random bytes from a seeded engine.
inline std::string random_bytes(std::mt19937_64 &rng, size_t n) {
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

}  // namespace skarn_test

#endif  // SKARN_TESTS_SUPPORT_HPP
