// Tests of the path, directory, temporary-file and whole-file helpers.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using skarn_test::ClogCapture;
using skarn_test::read_file;
using skarn_test::TempDir;
using skarn_test::write_file;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------
// Interposed open(): lets a test see every open the library makes and make
// chosen names appear taken, as if another process had just created them.
// When no test has armed it, it only forwards to the real open.
// ---------------------------------------------------------------------------

namespace {

struct OpenCall {
    std::string path;
    int flags;
    mode_t mode;
};

struct OpenHook {
    bool armed = false;
    int names_to_take = 0;           // next attempts that find their name already taken
    std::vector<OpenCall> calls;     // creating opens seen while armed
    std::vector<std::string> taken;  // names created by the hook
};

OpenHook open_hook;

using open_fn = int (*)(const char *, int, ...);

open_fn real_open() {
    static const auto fn = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    if (fn == nullptr) std::abort();
    return fn;
}

// Arms the hook for one scope.
class ArmedOpenHook {
public:
    explicit ArmedOpenHook(int names_to_take = 0) {
        open_hook = OpenHook{};
        open_hook.armed = true;
        open_hook.names_to_take = names_to_take;
    }
    ~ArmedOpenHook() { open_hook.armed = false; }
    ArmedOpenHook(const ArmedOpenHook &) = delete;
    ArmedOpenHook &operator=(const ArmedOpenHook &) = delete;
};

}  // namespace

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    // Only creating opens concern the tests; others (a random device, say) pass.
    if (open_hook.armed && (flags & O_CREAT) != 0) {
        open_hook.calls.push_back({path, flags, mode});
        if (open_hook.names_to_take > 0) {
            --open_hook.names_to_take;
            const std::string content = "taken " + std::to_string(open_hook.taken.size());
            const int fd = real_open()(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd >= 0) {
                if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) std::abort();
                ::close(fd);
                open_hook.taken.push_back(path);
            }
        }
    }
    return real_open()(path, flags, mode);
}

namespace {

constexpr size_t kPathSize = SKARN_PATH_BUFFER_SIZE;

// A caller's 260-byte result buffer followed by a guard area: a call that
// writes past its 260 bytes spoils the guard.
struct GuardedBuffer {
    GuardedBuffer() {
        data.fill('Q');
        guard.fill('\xA5');
    }
    bool untouched() const {
        for (char c : data) {
            if (c != 'Q') return false;
        }
        return guard_intact();
    }
    bool guard_intact() const {
        for (char c : guard) {
            if (c != '\xA5') return false;
        }
        return true;
    }
    std::array<char, kPathSize> data{};
    std::array<char, 64> guard{};
};

// The message of a single log line of this source's `function`, with the
// "filesystem.cpp@<line>::<function>: " prefix checked and removed.
std::string logged_message(const std::string &text, const std::string &function) {
    const std::regex line("filesystem\\.cpp@[0-9]+::" + function + ": (.*)\n");
    std::smatch match;
    if (!std::regex_match(text, match, line)) return "<not one log line of " + function + ": " + text + ">";
    return match[1];
}

// Runs the test with the current directory moved into a scratch directory.
class InScratchDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(saved_); }

    TempDir dir_;
    fs::path saved_;
};

// A directory below `base` whose path is at least `length` characters long.
fs::path deep_directory(const fs::path &base, size_t length) {
    fs::path path = base;
    while (path.string().size() < length) path /= std::string(50, 'd');
    fs::create_directories(path);
    return path;
}

fs::perms perms_of(const std::string &path) { return fs::status(path).permissions(); }

// A time well in the past, in whole seconds so that any file system stores it exactly.
fs::file_time_type days_ago(int days) {
    return std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() - days * 24h);
}

std::string text_of(const char *result) { return result != nullptr ? std::string(result) : "<null>"; }

}  // namespace

// ---------------------------------------------------------------------------
// Path decomposition
// ---------------------------------------------------------------------------

TEST(PathDecomposition, DirnameDropsTheFinalComponent) {
    char buffer[kPathSize];
    EXPECT_EQ(text_of(skarn_util_dirname("a/b/c.txt", buffer)), "a/b");
    EXPECT_EQ(text_of(skarn_util_dirname("c.txt", buffer)), "");
    EXPECT_EQ(text_of(skarn_util_dirname("/", buffer)), "/");
    EXPECT_EQ(text_of(skarn_util_dirname("a/b/", buffer)), "a/b");
    EXPECT_EQ(text_of(skarn_util_dirname("/top", buffer)), "/");
    EXPECT_EQ(text_of(skarn_util_dirname("", buffer)), "");
}

TEST(PathDecomposition, BasenameGivesTheFileNameOrItsStem) {
    char buffer[kPathSize];
    EXPECT_EQ(text_of(skarn_util_basename("a/b.tar.gz", buffer, 0)), "b.tar.gz");
    EXPECT_EQ(text_of(skarn_util_basename("a/b.tar.gz", buffer, 1)), "b.tar");
    EXPECT_EQ(text_of(skarn_util_basename("a/b/", buffer, 0)), "");
    EXPECT_EQ(text_of(skarn_util_basename("a/b/", buffer, 1)), "");
    EXPECT_EQ(text_of(skarn_util_basename("home/.profile", buffer, 0)), ".profile");
    EXPECT_EQ(text_of(skarn_util_basename("home/.profile", buffer, 1)), ".profile");
    EXPECT_EQ(text_of(skarn_util_basename("noext", buffer, 1)), "noext");
}

TEST(PathDecomposition, ExtensionKeepsItsDot) {
    char buffer[kPathSize];
    EXPECT_EQ(text_of(skarn_util_file_extension("b.tar.gz", buffer)), ".gz");
    EXPECT_EQ(text_of(skarn_util_file_extension("dir/name.", buffer)), ".");
    EXPECT_EQ(text_of(skarn_util_file_extension("dir/.profile", buffer)), "");
    EXPECT_EQ(text_of(skarn_util_file_extension("dir.d/noext", buffer)), "");
}

TEST(PathDecomposition, CallerBufferIsFilledAndReturned) {
    char buffer[kPathSize];
    EXPECT_EQ(skarn_util_dirname("x/y", buffer), buffer);
    EXPECT_EQ(skarn_util_basename("x/y", buffer, 0), buffer);
    EXPECT_EQ(skarn_util_file_extension("x/y.z", buffer), buffer);
    EXPECT_STREQ(buffer, ".z");
}

TEST(PathDecomposition, WithoutBufferEachFunctionReusesItsOwnStaticBuffer) {
    const char *first = skarn_util_dirname("one/two", nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "one");
    const char *second = skarn_util_dirname("three/four", nullptr);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "three");

    // The other functions have buffers of their own: they do not overwrite dirname's result.
    const char *name = skarn_util_basename("five/six", nullptr, 0);
    const char *extension = skarn_util_file_extension("seven.eight", nullptr);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(extension, nullptr);
    EXPECT_NE(name, second);
    EXPECT_NE(extension, second);
    EXPECT_NE(name, extension);
    EXPECT_STREQ(second, "three");
    EXPECT_STREQ(name, "six");
    EXPECT_STREQ(extension, ".eight");
}

TEST(PathDecomposition, ResultOfExactly259CharactersFits) {
    const std::string name(259, 'n');
    GuardedBuffer buffer;
    ASSERT_EQ(skarn_util_basename(("dir/" + name).c_str(), buffer.data.data(), 0), buffer.data.data());
    EXPECT_EQ(std::string(buffer.data.data()), name);
    EXPECT_TRUE(buffer.guard_intact());
}

TEST(PathDecomposition, ResultThatDoesNotFitIsNullAndWritesNothing) {
    const std::string long_name(260, 'n');
    {
        GuardedBuffer buffer;
        EXPECT_EQ(skarn_util_basename(("dir/" + long_name).c_str(), buffer.data.data(), 0), nullptr);
        EXPECT_TRUE(buffer.untouched());
    }
    {
        GuardedBuffer buffer;
        EXPECT_EQ(skarn_util_dirname((long_name + "/file").c_str(), buffer.data.data()), nullptr);
        EXPECT_TRUE(buffer.untouched());
    }
    {
        GuardedBuffer buffer;
        EXPECT_EQ(skarn_util_file_extension(("name." + long_name).c_str(), buffer.data.data()), nullptr);
        EXPECT_TRUE(buffer.untouched());
    }
    // Without a buffer the static one keeps its previous result.
    const char *previous = skarn_util_dirname("kept/name", nullptr);
    ASSERT_NE(previous, nullptr);
    EXPECT_EQ(skarn_util_dirname((long_name + "/file").c_str(), nullptr), nullptr);
    EXPECT_STREQ(previous, "kept");
}

// ---------------------------------------------------------------------------
// Directories
// ---------------------------------------------------------------------------

TEST(Directories, SeparatorIsSlash) { EXPECT_EQ(skarn_util_directory_separator(), '/'); }

TEST(Directories, CreateMakesEveryMissingParentOnce) {
    TempDir dir;
    const std::string nested = dir.file("one/two/three");
    EXPECT_EQ(skarn_util_create_directory(nested.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.file("one")));
    EXPECT_TRUE(fs::is_directory(dir.file("one/two")));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_EQ(skarn_util_create_directory(nested.c_str()), 1);
}

TEST(Directories, CreateFailureReportsOne) {
    TempDir dir;
    write_file(dir.file("file"), "x");
    EXPECT_EQ(skarn_util_create_directory(dir.file("file/sub").c_str()), 1);
    EXPECT_EQ(skarn_util_create_directory(dir.file("file").c_str()), 1);
    EXPECT_EQ(skarn_util_create_directory(""), 1);
    EXPECT_TRUE(fs::is_regular_file(dir.file("file")));
}

TEST(Directories, ExistsOnlyForDirectoriesWithLinksFollowed) {
    TempDir dir;
    fs::create_directory(dir.file("sub"));
    write_file(dir.file("file"), "x");
    fs::create_directory_symlink(dir.file("sub"), dir.file("link_to_sub"));
    fs::create_directory_symlink(dir.file("gone"), dir.file("dangling"));
    EXPECT_EQ(skarn_util_directory_exists(dir.str().c_str()), 1);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("sub").c_str()), 1);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("link_to_sub").c_str()), 1);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("dangling").c_str()), 0);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("file").c_str()), 0);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("missing").c_str()), 0);
    EXPECT_EQ(skarn_util_directory_exists(dir.file("file/below").c_str()), 0);
    EXPECT_EQ(skarn_util_directory_exists(""), 0);
}

TEST(Directories, RemoveTakesOnlyAnEmptyDirectory) {
    TempDir dir;
    fs::create_directories(dir.file("full/inner"));
    fs::create_directory(dir.file("empty"));
    write_file(dir.file("file"), "x");
    EXPECT_EQ(skarn_util_remove_directory(dir.file("full").c_str()), -1);
    EXPECT_TRUE(fs::is_directory(dir.file("full/inner")));
    EXPECT_EQ(skarn_util_remove_directory(dir.file("file").c_str()), -1);
    EXPECT_TRUE(fs::is_regular_file(dir.file("file")));
    EXPECT_EQ(skarn_util_remove_directory(dir.file("missing").c_str()), -1);
    EXPECT_EQ(skarn_util_remove_directory(dir.file("empty").c_str()), 0);
    EXPECT_FALSE(fs::exists(dir.file("empty")));
}

TEST(Directories, TempDirectoryIsAFreshHeapCopy) {
    char *first = skarn_util_get_temp_directory();
    char *second = skarn_util_get_temp_directory();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::string(first), fs::temp_directory_path().string());
    EXPECT_TRUE(fs::is_directory(first));
    std::free(first);
    std::free(second);
}

TEST(Directories, TempDirectoryThatIsNotADirectoryGivesNull) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    const char *saved = std::getenv("TMPDIR");
    const std::string saved_value = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", dir.file("plain").c_str(), 1);
    char *file_result = skarn_util_get_temp_directory();
    ::setenv("TMPDIR", dir.file("missing").c_str(), 1);
    char *missing_result = skarn_util_get_temp_directory();
    if (saved != nullptr) {
        ::setenv("TMPDIR", saved_value.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    EXPECT_EQ(file_result, nullptr);
    EXPECT_EQ(missing_result, nullptr);
    std::free(file_result);
    std::free(missing_result);
}

using CurrentDirectory = InScratchDirectory;

TEST_F(CurrentDirectory, IsTheProcessWorkingDirectory) {
    char buffer[kPathSize];
    ASSERT_EQ(skarn_util_get_current_dir(buffer), buffer);
    EXPECT_EQ(std::string(buffer), fs::current_path().string());
    const char *shared = skarn_util_get_current_dir(nullptr);
    ASSERT_NE(shared, nullptr);
    EXPECT_STREQ(shared, buffer);
    EXPECT_EQ(skarn_util_get_current_dir(nullptr), shared);
}

TEST_F(CurrentDirectory, TooLongForTheBufferGivesNull) {
    const fs::path deep = deep_directory(dir_.path(), 300);
    fs::current_path(deep);
    GuardedBuffer buffer;
    EXPECT_EQ(skarn_util_get_current_dir(buffer.data.data()), nullptr);
    EXPECT_TRUE(buffer.untouched());
}

// ---------------------------------------------------------------------------
// Normalisation
// ---------------------------------------------------------------------------

using NormalizePath = InScratchDirectory;

TEST_F(NormalizePath, RelativeDirectoryBecomesAbsoluteAndResolved) {
    fs::create_directories("alpha/beta");
    fs::create_directory("gamma");
    const std::string expected = (fs::canonical(dir_.path()) / "gamma").string();
    char buffer[kPathSize];
    ASSERT_EQ(skarn_util_normalize_path("alpha/./beta/../../gamma", buffer), buffer);
    EXPECT_EQ(std::string(buffer), expected);
    ASSERT_EQ(skarn_util_normalize_path("gamma/", buffer), buffer);
    EXPECT_EQ(std::string(buffer), expected);
}

TEST_F(NormalizePath, SymbolicLinksAreResolved) {
    fs::create_directory("real");
    write_file("real/file", "x");
    fs::create_directory_symlink("real", "alias");
    char buffer[kPathSize];
    ASSERT_NE(skarn_util_normalize_path("alias/file", buffer), nullptr);
    EXPECT_EQ(std::string(buffer), (fs::canonical(dir_.path()) / "real" / "file").string());
}

TEST_F(NormalizePath, EmptyStaysEmptyAndMissingGivesNull) {
    GuardedBuffer buffer;
    ASSERT_EQ(skarn_util_normalize_path("", buffer.data.data()), buffer.data.data());
    EXPECT_STREQ(buffer.data.data(), "");

    GuardedBuffer untouched;
    EXPECT_EQ(skarn_util_normalize_path("missing/../nothing", untouched.data.data()), nullptr);
    EXPECT_EQ(skarn_util_normalize_path("nothing", untouched.data.data()), nullptr);
    EXPECT_TRUE(untouched.untouched());
}

TEST_F(NormalizePath, StaticBufferIsReused) {
    fs::create_directory("a");
    fs::create_directory("b");
    const char *first = skarn_util_normalize_path("a", nullptr);
    ASSERT_NE(first, nullptr);
    const char *second = skarn_util_normalize_path("b", nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(second), (fs::canonical(dir_.path()) / "b").string());
}

TEST_F(NormalizePath, ResultTooLongGivesNull) {
    const fs::path deep = deep_directory(dir_.path(), 300);
    GuardedBuffer buffer;
    EXPECT_EQ(skarn_util_normalize_path(deep.c_str(), buffer.data.data()), nullptr);
    EXPECT_TRUE(buffer.untouched());
}

// ---------------------------------------------------------------------------
// Removing a file
// ---------------------------------------------------------------------------

TEST(RemoveFile, OnlyRegularFilesAreRemoved) {
    TempDir dir;
    fs::create_directory(dir.file("sub"));
    write_file(dir.file("file"), "content");
    EXPECT_EQ(skarn_util_remove_file(dir.file("sub").c_str()), -1);
    EXPECT_TRUE(fs::is_directory(dir.file("sub")));
    EXPECT_EQ(skarn_util_remove_file(dir.file("missing").c_str()), -1);
    EXPECT_EQ(skarn_util_remove_file(dir.file("file").c_str()), 0);
    EXPECT_FALSE(fs::exists(dir.file("file")));
    EXPECT_EQ(skarn_util_remove_file(dir.file("file").c_str()), -1);
}

TEST(RemoveFile, LinkToAFileIsRemovedAndItsTargetKept) {
    TempDir dir;
    write_file(dir.file("target"), "content");
    fs::create_symlink(dir.file("target"), dir.file("link"));
    fs::create_symlink(dir.file("gone"), dir.file("dangling"));
    EXPECT_EQ(skarn_util_remove_file(dir.file("link").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("link"))));
    EXPECT_EQ(read_file(dir.file("target")), "content");
    EXPECT_EQ(skarn_util_remove_file(dir.file("dangling").c_str()), -1);
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));
}

// ---------------------------------------------------------------------------
// Permission mode
// ---------------------------------------------------------------------------

TEST(ComputeMode, KeepsOnlyOwnerReadAndWrite) { skarn_test::expect_compute_mode_keeps_only_owner_read_and_write(); }

// ---------------------------------------------------------------------------
// Temporary files
// ---------------------------------------------------------------------------

namespace {

constexpr const char *kAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// The template as a writable, NUL-terminated buffer.
std::vector<char> writable(const std::string &text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

bool all_from_alphabet(const std::string &text) { return text.find_first_not_of(kAlphabet) == std::string::npos; }

}  // namespace

TEST(Mkstemp, BadTemplatesFailWithEinvalAndStayUnchanged) {
    TempDir dir;
    for (const std::string &bad : {dir.file("fiveXXXXX"), dir.file("nameXXXXXXy"), std::string("XXXXX"),
                                   std::string(""), dir.file("namexXXXXX")}) {
        auto buffer = writable(bad);
        errno = 0;
        EXPECT_EQ(skarn_util_mkstemp(buffer.data(), 0600), -1) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
        EXPECT_EQ(std::string(buffer.data()), bad);
    }
    errno = 0;
    EXPECT_EQ(skarn_util_mkstemp(nullptr, 0600), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Mkstemp, CreatesAnEmptyFileNamedFromTheAlphabet) {
    TempDir dir;
    const std::string tmpl = dir.file("prefix.XXXXXX");
    auto buffer = writable(tmpl);
    const int fd = skarn_util_mkstemp(buffer.data(), 0);
    ASSERT_GE(fd, 0);
    const std::string name(buffer.data());
    ::close(fd);
    ASSERT_EQ(name.size(), tmpl.size());
    EXPECT_EQ(name.substr(0, tmpl.size() - 6), tmpl.substr(0, tmpl.size() - 6));
    EXPECT_TRUE(all_from_alphabet(name.substr(tmpl.size() - 6))) << name;
    EXPECT_TRUE(fs::is_regular_file(name));
    EXPECT_EQ(fs::file_size(name), 0u);
    EXPECT_EQ(perms_of(name), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(Mkstemp, DescriptorIsOpenForReadingAndWriting) {
    TempDir dir;
    auto buffer = writable(dir.file("rwXXXXXX"));
    const int fd = skarn_util_mkstemp(buffer.data(), 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    char back[5] = {};
    EXPECT_EQ(::read(fd, back, 5), 5);
    EXPECT_EQ(std::string(back, 5), "hello");
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    EXPECT_EQ(read_file(buffer.data()), "hello");
}

TEST(Mkstemp, OnlyTheLastSixXAreReplaced) {
    TempDir dir;
    const std::string tmpl = dir.file("XXXXXXXXX");
    auto buffer = writable(tmpl);
    const int fd = skarn_util_mkstemp(buffer.data(), 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string name(buffer.data());
    EXPECT_EQ(name.substr(0, tmpl.size() - 6), tmpl.substr(0, tmpl.size() - 6));
    EXPECT_TRUE(fs::exists(name));
}

TEST(Mkstemp, ModeIsReducedToOwnerReadAndWrite) {
    TempDir dir;
    const std::pair<int, fs::perms> cases[] = {
        {0666, fs::perms::owner_read | fs::perms::owner_write},
        {0777, fs::perms::owner_read | fs::perms::owner_write},
        {0444, fs::perms::owner_read},
        {0, fs::perms::owner_read | fs::perms::owner_write},
    };
    for (const auto &[mode, expected] : cases) {
        auto buffer = writable(dir.file("modeXXXXXX"));
        const int fd = skarn_util_mkstemp(buffer.data(), mode);
        ASSERT_GE(fd, 0) << mode;
        ::close(fd);
        EXPECT_EQ(perms_of(buffer.data()), expected) << "mode " << mode;
    }
}

TEST(Mkstemp, MissingDirectoryFailsAfterOneAttemptWithTheOpenError) {
    TempDir dir;
    auto buffer = writable(dir.file("missing/fileXXXXXX"));
    ArmedOpenHook hook;
    errno = 0;
    EXPECT_EQ(skarn_util_mkstemp(buffer.data(), 0600), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open_hook.calls.size(), 1u);
}

TEST(Mkstemp, OpensExclusivelyWithTheReducedMode) {
    TempDir dir;
    auto buffer = writable(dir.file("flagsXXXXXX"));
    int fd = -1;
    {
        ArmedOpenHook hook;
        fd = skarn_util_mkstemp(buffer.data(), 0644);
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(open_hook.calls.size(), 1u);
    const OpenCall &call = open_hook.calls[0];
    EXPECT_EQ(call.path, std::string(buffer.data()));
    EXPECT_EQ(call.flags & O_ACCMODE, O_RDWR);
    EXPECT_NE(call.flags & O_CREAT, 0);
    EXPECT_NE(call.flags & O_EXCL, 0);
    EXPECT_NE(call.flags & O_CLOEXEC, 0);
    EXPECT_EQ(call.flags & O_TRUNC, 0);
    EXPECT_EQ(call.mode, 0600u);
}

TEST(Mkstemp, TakenNamesAreSkippedAndTheirContentKept) {
    TempDir dir;
    const std::string tmpl = dir.file("busyXXXXXX");
    auto buffer = writable(tmpl);
    int fd = -1;
    {
        ArmedOpenHook hook(25);
        fd = skarn_util_mkstemp(buffer.data(), 0600);
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(open_hook.taken.size(), 25u);
    EXPECT_EQ(open_hook.calls.size(), 26u);
    ASSERT_EQ(::write(fd, "mine", 4), 4);
    ::close(fd);

    const std::string name(buffer.data());
    EXPECT_EQ(read_file(name), "mine");
    std::set<std::string> names;
    for (size_t i = 0; i < open_hook.taken.size(); ++i) {
        const std::string &taken = open_hook.taken[i];
        names.insert(taken);
        EXPECT_EQ(read_file(taken), "taken " + std::to_string(i)) << taken;
        EXPECT_EQ(taken.substr(0, tmpl.size() - 6), tmpl.substr(0, tmpl.size() - 6));
        EXPECT_TRUE(all_from_alphabet(taken.substr(tmpl.size() - 6)));
    }
    // Every attempt drew fresh characters.
    names.insert(name);
    EXPECT_EQ(names.size(), 26u);
}

TEST(Mkstemp, ManyCallsWithOneTemplateNeverClobber) {
    TempDir dir;
    const std::string tmpl = dir.file("manyXXXXXX");
    constexpr int kCalls = 500;

    // Files already present with content of their own, in the same name space.
    std::vector<std::string> existing;
    for (int i = 0; i < 20; ++i) {
        auto buffer = writable(tmpl);
        const int fd = skarn_util_mkstemp(buffer.data(), 0600);
        ASSERT_GE(fd, 0);
        const std::string content = "existing " + std::to_string(i);
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
        existing.emplace_back(buffer.data());
    }

    std::set<std::string> created;
    for (int i = 0; i < kCalls; ++i) {
        auto buffer = writable(tmpl);
        const int fd = skarn_util_mkstemp(buffer.data(), 0666);
        ASSERT_GE(fd, 0) << "call " << i;
        ::close(fd);
        const std::string name(buffer.data());
        EXPECT_TRUE(all_from_alphabet(name.substr(tmpl.size() - 6))) << name;
        EXPECT_TRUE(created.insert(name).second) << "name given twice: " << name;
        EXPECT_EQ(perms_of(name), fs::perms::owner_read | fs::perms::owner_write) << name;
        EXPECT_EQ(fs::file_size(name), 0u) << name;
    }
    EXPECT_EQ(created.size(), static_cast<size_t>(kCalls));
    for (size_t i = 0; i < existing.size(); ++i) {
        EXPECT_EQ(created.count(existing[i]), 0u);
        EXPECT_EQ(read_file(existing[i]), "existing " + std::to_string(i));
    }
    EXPECT_EQ(dir.entries().size(), existing.size() + kCalls);
}

// ---------------------------------------------------------------------------
// Copying a file
// ---------------------------------------------------------------------------

class FileCopy : public ::testing::Test {
protected:
    void SetUp() override {
        source_ = dir_.file("source.bin");
        target_ = dir_.file("target.bin");
        write_file(source_, "source content");
    }

    TempDir dir_;
    std::string source_;
    std::string target_;
};

TEST_F(FileCopy, ReplacesAnExistingDestination) {
    write_file(target_, "a much longer previous content of the destination");
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_EQ(read_file(target_), "source content");
    EXPECT_EQ(read_file(source_), "source content");
    EXPECT_EQ(log.str(), "");
}

TEST_F(FileCopy, CreatesAMissingDestination) {
    EXPECT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_EQ(read_file(target_), "source content");
}

TEST_F(FileCopy, CopiesBinaryContentExactly) {
    std::mt19937_64 rng(7);
    const std::string content = skarn_test::random_bytes(rng, 300000);
    write_file(source_, content);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0), 0);
    EXPECT_EQ(read_file(target_), content);
}

TEST_F(FileCopy, CopyIsDatedNowNotWithTheSourceTime) {
    const auto old_time = days_ago(10);
    fs::last_write_time(source_, old_time);
    write_file(target_, "old");
    fs::last_write_time(target_, old_time);
    const auto before = fs::file_time_type::clock::now();
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0), 0);
    const auto after = fs::file_time_type::clock::now();
    const auto stamped = fs::last_write_time(target_);
    EXPECT_GE(stamped, before - 2s);
    EXPECT_LE(stamped, after + 2s);
    EXPECT_EQ(fs::last_write_time(source_), old_time);
}

TEST_F(FileCopy, ModeZeroTakesTheSourcePermissions) {
    for (const fs::perms source_perms : {fs::perms(0640), fs::perms(0755), fs::perms(0444)}) {
        fs::permissions(source_, source_perms, fs::perm_options::replace);
        write_file(target_, "old");
        fs::permissions(target_, fs::perms(0600), fs::perm_options::replace);
        ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0), 0);
        EXPECT_EQ(perms_of(target_), source_perms);
        fs::permissions(target_, fs::perms(0600), fs::perm_options::replace);
    }
}

TEST_F(FileCopy, GivenModeReplacesThePermissions) {
    fs::permissions(source_, fs::perms(0755), fs::perm_options::replace);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_EQ(perms_of(target_), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0604), 0);
    EXPECT_EQ(perms_of(target_), fs::perms(0604));
    EXPECT_EQ(perms_of(source_), fs::perms(0755));
}

TEST_F(FileCopy, MissingSourceIsMinusOneAndLeavesTheDestination) {
    write_file(target_, "keep");
    const std::string missing = dir_.file("missing");
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(missing.c_str(), target_.c_str(), 0), -1);
    EXPECT_EQ(read_file(target_), "keep");
    EXPECT_EQ(logged_message(log.str(), "skarn_util_file_copy"), "Source file '\"" + missing + "\"' does not exist");
}

TEST_F(FileCopy, DanglingLinkCountsAsMissingSource) {
    const std::string link = dir_.file("dangling");
    fs::create_symlink(dir_.file("gone"), link);
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(link.c_str(), target_.c_str(), 0), -1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(target_)));
}

TEST_F(FileCopy, DirectorySourceIsMinusTwoAndLeavesTheDestination) {
    write_file(target_, "keep");
    const std::string directory = dir_.file("folder");
    fs::create_directory(directory);
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(directory.c_str(), target_.c_str(), 0), -2);
    EXPECT_EQ(read_file(target_), "keep");
    EXPECT_EQ(logged_message(log.str(), "skarn_util_file_copy"),
              "Source path '\"" + directory + "\"' does not point to a regular file");
}

TEST_F(FileCopy, PathsInMessagesAreQuotedAndEscaped) {
    const std::string odd = dir_.file("we\"ird\\name");
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(odd.c_str(), target_.c_str(), 0), -1);
    EXPECT_EQ(logged_message(log.str(), "skarn_util_file_copy"),
              "Source file '\"" + dir_.str() + "/we\\\"ird\\\\name\"' does not exist");
}

TEST_F(FileCopy, SamePathIsRefusedAndTheSourceKept) {
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(source_.c_str(), source_.c_str(), 0), -4);
    EXPECT_EQ(read_file(source_), "source content");
    EXPECT_EQ(
        logged_message(log.str(), "skarn_util_file_copy"),
        "Error copying file '\"" + source_ + "\"' to '\"" + source_ + "\"': source and destination are the same file");
}

TEST_F(FileCopy, AnotherPathOfTheSameFileIsRefused) {
    fs::create_directory(dir_.file("sub"));
    const std::string roundabout = dir_.file("sub/../source.bin");
    const std::string link = dir_.file("link");
    const std::string hard = dir_.file("hard");
    fs::create_symlink(source_, link);
    fs::create_hard_link(source_, hard);
    for (const std::string &destination : {roundabout, link, hard}) {
        ClogCapture log;
        EXPECT_EQ(skarn_util_file_copy(source_.c_str(), destination.c_str(), 0), -4) << destination;
        EXPECT_THAT(log.str(), HasSubstr("source and destination are the same file"));
        EXPECT_EQ(read_file(source_), "source content");
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(hard));
}

TEST_F(FileCopy, DestinationLinkElsewhereIsReplacedNotFollowed) {
    const std::string other = dir_.file("other");
    write_file(other, "other content");
    fs::create_symlink(other, target_);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_FALSE(fs::is_symlink(target_));
    EXPECT_EQ(read_file(target_), "source content");
    EXPECT_EQ(read_file(other), "other content");

    fs::remove(target_);
    fs::create_symlink(dir_.file("gone"), target_);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_FALSE(fs::is_symlink(target_));
    EXPECT_FALSE(fs::exists(dir_.file("gone")));
}

TEST_F(FileCopy, EmptyDirectoryDestinationIsReplaced) {
    fs::create_directory(target_);
    ASSERT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), 0);
    EXPECT_EQ(read_file(target_), "source content");
}

TEST_F(FileCopy, UnremovableDestinationIsMinusFour) {
    fs::create_directories(dir_.file("target.bin/inner"));
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(source_.c_str(), target_.c_str(), 0600), -4);
    EXPECT_TRUE(fs::is_directory(dir_.file("target.bin/inner")));
    const std::string message = logged_message(log.str(), "skarn_util_file_copy");
    const std::string prefix = "Error copying file '\"" + source_ + "\"' to '\"" + target_ + "\"': ";
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
    EXPECT_GT(message.size(), prefix.size());
}

TEST_F(FileCopy, DestinationInMissingDirectoryIsMinusFour) {
    const std::string nowhere = dir_.file("missing/target");
    ClogCapture log;
    EXPECT_EQ(skarn_util_file_copy(source_.c_str(), nowhere.c_str(), 0), -4);
    EXPECT_EQ(logged_message(log.str(), "skarn_util_file_copy"),
              "Error copying file '\"" + source_ + "\"' to '\"" + nowhere +
                  "\"': " + std::make_error_code(std::errc::no_such_file_or_directory).message());
}

// ---------------------------------------------------------------------------
// File queries: existence, size, equivalence
// ---------------------------------------------------------------------------

TEST(FileQueries, ExistsOnlyForRegularFilesWithLinksFollowed) {
    TempDir dir;
    write_file(dir.file("file"), "x");
    fs::create_directory(dir.file("sub"));
    fs::create_symlink(dir.file("file"), dir.file("link"));
    fs::create_symlink(dir.file("gone"), dir.file("dangling"));
    EXPECT_EQ(skarn_util_file_exists(dir.file("file").c_str()), 1);
    EXPECT_EQ(skarn_util_file_exists(dir.file("link").c_str()), 1);
    EXPECT_EQ(skarn_util_file_exists(dir.file("sub").c_str()), 0);
    EXPECT_EQ(skarn_util_file_exists(dir.file("dangling").c_str()), 0);
    EXPECT_EQ(skarn_util_file_exists(dir.file("missing").c_str()), 0);
    EXPECT_EQ(skarn_util_file_exists(dir.file("file/below").c_str()), 0);
    EXPECT_EQ(skarn_util_file_exists(""), 0);
}

TEST(FileQueries, SizeOfFilesAndFailures) {
    TempDir dir;
    write_file(dir.file("empty"), "");
    write_file(dir.file("ten"), "0123456789");
    fs::create_symlink(dir.file("ten"), dir.file("link"));
    fs::create_directory(dir.file("sub"));
    EXPECT_EQ(skarn_util_file_size(dir.file("empty").c_str()), 0);
    EXPECT_EQ(skarn_util_file_size(dir.file("ten").c_str()), 10);
    EXPECT_EQ(skarn_util_file_size(dir.file("link").c_str()), 10);
    EXPECT_EQ(skarn_util_file_size(dir.file("missing").c_str()), -1);
    EXPECT_EQ(skarn_util_file_size(dir.file("sub").c_str()), -1);
}

TEST(FileQueries, SizeBeyondFourGigabytes) {
    TempDir dir;
    const std::string sparse = dir.file("sparse");
    write_file(sparse, "");
    fs::resize_file(sparse, (int64_t{5} << 30) + 3);
    EXPECT_EQ(skarn_util_file_size(sparse.c_str()), (int64_t{5} << 30) + 3);
}

TEST(FileQueries, EquivalentPathsOfOneFile) {
    TempDir dir;
    fs::create_directory(dir.file("d"));
    write_file(dir.file("d/f"), "x");
    write_file(dir.file("d/g"), "x");
    fs::create_symlink(dir.file("d/f"), dir.file("link"));
    EXPECT_EQ(skarn_util_paths_equivalent(dir.file("d/../d/f").c_str(), dir.file("d/f").c_str()), 1);
    EXPECT_EQ(skarn_util_paths_equivalent(dir.file("link").c_str(), dir.file("d/f").c_str()), 1);
    EXPECT_EQ(skarn_util_paths_equivalent(dir.file("d/f").c_str(), dir.file("d/g").c_str()), 0);
    EXPECT_EQ(skarn_util_paths_equivalent(dir.file("d/f").c_str(), dir.file("missing").c_str()), 0);
    EXPECT_EQ(skarn_util_paths_equivalent(dir.file("missing").c_str(), dir.file("missing").c_str()), 0);
}

// ---------------------------------------------------------------------------
// Comparing content
// ---------------------------------------------------------------------------

TEST(CompareFiles, EqualContentIsZero) {
    TempDir dir;
    std::mt19937_64 rng(11);
    const std::string content = skarn_test::random_bytes(rng, 200000);
    write_file(dir.file("a"), content);
    write_file(dir.file("b"), content);
    write_file(dir.file("empty1"), "");
    write_file(dir.file("empty2"), "");
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("a").c_str()), 0);
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("b").c_str()), 0);
    EXPECT_EQ(skarn_util_compare_files(dir.file("empty1").c_str(), dir.file("empty2").c_str()), 0);
}

TEST(CompareFiles, AnyDifferenceIsOne) {
    TempDir dir;
    std::mt19937_64 rng(12);
    std::string content = skarn_test::random_bytes(rng, 200000);
    write_file(dir.file("a"), content);
    write_file(dir.file("prefix"), content.substr(0, content.size() - 1));
    content.back() = static_cast<char>(content.back() ^ 1);
    write_file(dir.file("last_byte"), content);
    content.front() = static_cast<char>(content.front() ^ 0x80);
    write_file(dir.file("first_byte"), content);
    write_file(dir.file("empty"), "");
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("prefix").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("prefix").c_str(), dir.file("a").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("last_byte").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("first_byte").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("empty").c_str(), dir.file("a").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("empty").c_str()), 1);
}

TEST(CompareFiles, BytesAboveSevenBitAreComparedAsBytes) {
    TempDir dir;
    write_file(dir.file("a"), std::string("\xff\x00\x80", 3));
    write_file(dir.file("b"), std::string("\xff\x00\x7f", 3));
    write_file(dir.file("c"), std::string("\xff\x00\x80", 3));
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("b").c_str()), 1);
    EXPECT_EQ(skarn_util_compare_files(dir.file("a").c_str(), dir.file("c").c_str()), 0);
}

TEST(CompareFiles, UnopenableFilesAreReportedInOrder) {
    TempDir dir;
    write_file(dir.file("present"), "x");
    const std::string missing1 = dir.file("missing1");
    const std::string missing2 = dir.file("missing2");
    {
        ClogCapture log;
        EXPECT_EQ(skarn_util_compare_files(missing1.c_str(), missing2.c_str()), -1);
        EXPECT_EQ(logged_message(log.str(), "skarn_util_compare_files"), "Error opening file: '" + missing1 + "'");
    }
    {
        ClogCapture log;
        EXPECT_EQ(skarn_util_compare_files(dir.file("present").c_str(), missing2.c_str()), -2);
        EXPECT_EQ(logged_message(log.str(), "skarn_util_compare_files"), "Error opening file: '" + missing2 + "'");
    }
}

// ---------------------------------------------------------------------------
// Comparing modification times
// ---------------------------------------------------------------------------

TEST(CompareModificationTimes, OrdersByLastWrite) {
    TempDir dir;
    const std::string first = dir.file("first");
    const std::string second = dir.file("second");
    write_file(first, "1");
    write_file(second, "2");
    const auto old_time = days_ago(1);
    fs::last_write_time(first, old_time);
    fs::last_write_time(second, old_time);
    EXPECT_EQ(skarn_util_compare_modification_times(first.c_str(), first.c_str()), 0);
    EXPECT_EQ(skarn_util_compare_modification_times(first.c_str(), second.c_str()), 0);

    ASSERT_EQ(skarn_util_touch(first.c_str(), 0), 0);
    EXPECT_EQ(skarn_util_compare_modification_times(first.c_str(), second.c_str()), 1);
    EXPECT_EQ(skarn_util_compare_modification_times(second.c_str(), first.c_str()), -1);

    fs::last_write_time(second, old_time + 2s);
    fs::last_write_time(first, old_time);
    EXPECT_EQ(skarn_util_compare_modification_times(first.c_str(), second.c_str()), -1);
}

TEST(CompareModificationTimes, MissingPathIsMinusTwo) {
    TempDir dir;
    const std::string present = dir.file("present");
    const std::string missing = dir.file("missing");
    write_file(present, "x");
    for (const auto &[a, b] : {std::pair(missing, present), std::pair(present, missing)}) {
        ClogCapture log;
        EXPECT_EQ(skarn_util_compare_modification_times(a.c_str(), b.c_str()), -2);
        const std::string message = logged_message(log.str(), "skarn_util_compare_modification_times");
        EXPECT_EQ(message.rfind("Error comparing modification times: ", 0), 0u) << message;
        EXPECT_THAT(message, HasSubstr(missing));
    }
}

// ---------------------------------------------------------------------------
// Free file names
// ---------------------------------------------------------------------------

TEST(AvailableFilename, FreePathIsReturnedUnchanged) {
    TempDir dir;
    const std::string path = dir.file("free.txt");
    char buffer[kPathSize];
    ASSERT_EQ(skarn_util_available_filename(path.c_str(), buffer), buffer);
    EXPECT_EQ(std::string(buffer), path);
}

TEST(AvailableFilename, FirstFreeNumberIsChosen) {
    TempDir dir;
    write_file(dir.file("x.bin"), "");
    write_file(dir.file("x-1.bin"), "");
    write_file(dir.file("x-2.bin"), "");
    char buffer[kPathSize];
    ASSERT_NE(skarn_util_available_filename(dir.file("x.bin").c_str(), buffer), nullptr);
    EXPECT_EQ(std::string(buffer), dir.file("x-3.bin"));

    write_file(dir.file("y.bin"), "");
    ASSERT_NE(skarn_util_available_filename(dir.file("y.bin").c_str(), buffer), nullptr);
    EXPECT_EQ(std::string(buffer), dir.file("y-1.bin"));
}

TEST(AvailableFilename, NumberGoesBeforeTheLastExtension) {
    TempDir dir;
    for (const auto &[name, expected] :
         {std::pair("archive.tar.gz", "archive.tar-1.gz"), std::pair(".profile", ".profile-1"),
          std::pair("noext", "noext-1"), std::pair("dot.", "dot-1.")}) {
        write_file(dir.file(name), "");
        char buffer[kPathSize];
        ASSERT_NE(skarn_util_available_filename(dir.file(name).c_str(), buffer), nullptr) << name;
        EXPECT_EQ(std::string(buffer), dir.file(expected));
    }
}

TEST(AvailableFilename, OnlyRegularFilesOccupyNames) {
    TempDir dir;
    char buffer[kPathSize];
    ASSERT_NE(skarn_util_available_filename(dir.str().c_str(), buffer), nullptr);
    EXPECT_EQ(std::string(buffer), dir.str());

    write_file(dir.file("n.txt"), "");
    fs::create_directory(dir.file("n-1.txt"));
    ASSERT_NE(skarn_util_available_filename(dir.file("n.txt").c_str(), buffer), nullptr);
    EXPECT_EQ(std::string(buffer), dir.file("n-1.txt"));
}

TEST(AvailableFilename, ManyOccupiedNames) {
    TempDir dir;
    write_file(dir.file("m.dat"), "");
    for (int i = 1; i <= 40; ++i) write_file(dir.file("m-" + std::to_string(i) + ".dat"), "");
    char buffer[kPathSize];
    ASSERT_NE(skarn_util_available_filename(dir.file("m.dat").c_str(), buffer), nullptr);
    EXPECT_EQ(std::string(buffer), dir.file("m-41.dat"));
}

TEST(AvailableFilename, AllNumbersOccupiedGivesNull) {
    TempDir dir;
    write_file(dir.file("f.txt"), "");
    for (int i = 1; i <= 999; ++i) write_file(dir.file("f-" + std::to_string(i) + ".txt"), "");
    EXPECT_EQ(skarn_util_available_filename(dir.file("f.txt").c_str(), nullptr), nullptr);

    // Freeing the last number makes it the answer.
    fs::remove(dir.file("f-999.txt"));
    const char *result = skarn_util_available_filename(dir.file("f.txt").c_str(), nullptr);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::string(result), dir.file("f-999.txt"));
}

using AvailableFilenameHere = InScratchDirectory;

TEST_F(AvailableFilenameHere, BareNameGetsNoDirectoryPart) {
    write_file("report.txt", "");
    char buffer[kPathSize];
    ASSERT_NE(skarn_util_available_filename("report.txt", buffer), nullptr);
    EXPECT_STREQ(buffer, "report-1.txt");
}

TEST(AvailableFilename, StaticBufferIsReusedAndSeparateFromDirname) {
    TempDir dir;
    const std::string a = dir.file("a");
    const std::string b = dir.file("b");
    const char *first = skarn_util_available_filename(a.c_str(), nullptr);
    const char *directory = skarn_util_dirname(a.c_str(), nullptr);
    const char *second = skarn_util_available_filename(b.c_str(), nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, directory);
    EXPECT_EQ(std::string(second), b);
    EXPECT_EQ(std::string(directory), dir.str());
}

TEST(AvailableFilename, ResultThatDoesNotFitIsNull) {
    TempDir dir;
    {
        GuardedBuffer buffer;
        const std::string too_long = dir.file(std::string(200, 'a')) + "/" + std::string(100, 'b');
        EXPECT_EQ(skarn_util_available_filename(too_long.c_str(), buffer.data.data()), nullptr);
        EXPECT_TRUE(buffer.untouched());
    }
    {
        // The path itself fits with one character to spare; its first variant does not.
        const fs::path parent = dir.path() / std::string(100, 'p');
        fs::create_directory(parent);
        const std::string name(258 - parent.string().size() - 1, 'f');
        const std::string path = (parent / name).string();
        ASSERT_EQ(path.size(), 258u);
        write_file(path, "");
        GuardedBuffer buffer;
        EXPECT_EQ(skarn_util_available_filename(path.c_str(), buffer.data.data()), nullptr);
        EXPECT_TRUE(buffer.untouched());
    }
}

// ---------------------------------------------------------------------------
// Touch
// ---------------------------------------------------------------------------

TEST(Touch, MissingFileWithoutCreateIsMinusTwo) {
    TempDir dir;
    const std::string path = dir.file("absent");
    ClogCapture log;
    EXPECT_EQ(skarn_util_touch(path.c_str(), 0), -2);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(logged_message(log.str(), "skarn_util_touch"), "File '" + path + "' does not exist");
}

TEST(Touch, MissingFileWithCreateBecomesEmpty) {
    TempDir dir;
    const std::string path = dir.file("new");
    ClogCapture log;
    EXPECT_EQ(skarn_util_touch(path.c_str(), 1), 0);
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(log.str(), "");
}

TEST(Touch, ExistingFileKeepsContentAndIsDatedNow) {
    TempDir dir;
    const std::string path = dir.file("old");
    write_file(path, "unchanged content");
    fs::last_write_time(path, days_ago(10));
    const auto before = fs::file_time_type::clock::now();
    EXPECT_EQ(skarn_util_touch(path.c_str(), 0), 0);
    const auto after = fs::file_time_type::clock::now();
    EXPECT_EQ(read_file(path), "unchanged content");
    EXPECT_GE(fs::last_write_time(path), before - 2s);
    EXPECT_LE(fs::last_write_time(path), after + 2s);

    fs::last_write_time(path, days_ago(10));
    EXPECT_EQ(skarn_util_touch(path.c_str(), 1), 0);
    EXPECT_EQ(read_file(path), "unchanged content");
    EXPECT_GE(fs::last_write_time(path), before - 2s);
}

TEST(Touch, DirectoryIsNotAFile) {
    TempDir dir;
    const std::string path = dir.file("folder");
    fs::create_directory(path);
    {
        ClogCapture log;
        EXPECT_EQ(skarn_util_touch(path.c_str(), 0), -2);
    }
    {
        ClogCapture log;
        EXPECT_EQ(skarn_util_touch(path.c_str(), 1), -1);
        EXPECT_EQ(logged_message(log.str(), "skarn_util_touch"), "Error creating file '" + path + "'");
    }
    EXPECT_TRUE(fs::is_directory(path));
}

// ---------------------------------------------------------------------------
// Removing trees
// ---------------------------------------------------------------------------

TEST(RemoveAll, CountsEverythingRemoved) {
    TempDir dir;
    EXPECT_EQ(skarn_util_remove_all(dir.file("missing").c_str()), 0);

    fs::create_directory(dir.file("two"));
    write_file(dir.file("two/a"), "a");
    write_file(dir.file("two/b"), "b");
    EXPECT_EQ(skarn_util_remove_all(dir.file("two").c_str()), 3);
    EXPECT_FALSE(fs::exists(dir.file("two")));

    fs::create_directories(dir.file("tree/x/y"));
    write_file(dir.file("tree/x/y/f"), "f");
    write_file(dir.file("tree/g"), "g");
    EXPECT_EQ(skarn_util_remove_all(dir.file("tree").c_str()), 5);

    write_file(dir.file("single"), "s");
    EXPECT_EQ(skarn_util_remove_all(dir.file("single").c_str()), 1);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(RemoveAll, LinksAreRemovedNotFollowed) {
    TempDir dir;
    fs::create_directory(dir.file("kept"));
    write_file(dir.file("kept/file"), "x");
    fs::create_directory(dir.file("tree"));
    fs::create_directory_symlink(dir.file("kept"), dir.file("tree/link"));
    EXPECT_EQ(skarn_util_remove_all(dir.file("tree").c_str()), 2);
    EXPECT_EQ(read_file(dir.file("kept/file")), "x");
}

TEST(RemoveAll, FailureIsMinusOne) {
    TempDir dir;
    // A name longer than any file system allows cannot even be examined.
    EXPECT_EQ(skarn_util_remove_all(dir.file(std::string(300, 'n')).c_str()), -1);
}
