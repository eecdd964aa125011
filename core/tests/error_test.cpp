// The thread's last failure and the log callback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "skarn_edit.h"
#include "support/test_support.hpp"

using skarn_test::ClogCapture;
using skarn_test::Session;
using skarn_test::TempDir;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

namespace {

class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override { skarn_error_clear(); }
    void TearDown() override {
        skarn_set_log_callback(nullptr, nullptr);
        skarn_error_clear();
    }
    TempDir dir;
};

// A session over a file that does not exist fails in its first system call.
skarn_session_struct *open_missing(const TempDir &dir) {
    return skarn_edit_create_session((dir.path().string() + "/missing.txt").c_str(), nullptr, nullptr, 0,
                                     dir.path().c_str());
}

TEST_F(ErrorTest, FailureRecordsResultErrnoFunctionAndFirstLine) {
    ClogCapture log;
    ASSERT_EQ(open_missing(dir), nullptr);
    const skarn_error_struct *error = skarn_error_last();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->result, 0);
    EXPECT_EQ(error->sys_errno, ENOENT);
    EXPECT_STREQ(error->function, "skarn_edit_create_session");
    EXPECT_THAT(error->message, HasSubstr("failed to copy original file '" + dir.path().string() + "/missing.txt'"));
    // The message is the first line's, without its prefix.
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_create_session: " + std::string(error->message) + "\n"));

    // A failure with no system reason, through a function that calls another:
    // the one called is named, the lines keep the inner function's name.
    Session s(skarn_edit_create_session(nullptr, nullptr, nullptr, 0, dir.path().c_str()));
    ASSERT_TRUE(s);
    EXPECT_EQ(skarn_edit_save(s.get(), "/proc/no-such-dir/x/out.txt", IO_FLG_NONE, nullptr), -2);
    error = skarn_error_last();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->result, -2);
    EXPECT_EQ(error->sys_errno, 0);
    EXPECT_STREQ(error->function, "skarn_edit_save");
    EXPECT_THAT(error->message, HasSubstr("failed to create directory: "));
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_save_segment: failed to create directory: "));
}

TEST_F(ErrorTest, SuccessesLeaveTheRecordAndClearForgetsIt) {
    EXPECT_EQ(skarn_error_last(), nullptr);
    ClogCapture log;
    ASSERT_EQ(open_missing(dir), nullptr);
    const skarn_error_struct *error = skarn_error_last();
    ASSERT_NE(error, nullptr);
    const std::string message = error->message;
    Session s(skarn_edit_create_session(nullptr, nullptr, nullptr, 0, dir.path().c_str()));
    ASSERT_TRUE(s);
    EXPECT_GT(skarn_edit_insert(s.get(), 0, "abc", 0), 0);
    EXPECT_EQ(skarn_edit_save(s.get(), (dir.path().string() + "/out.txt").c_str(), IO_FLG_NONE, nullptr), 0);
    ASSERT_EQ(skarn_error_last(), error);
    EXPECT_EQ(error->message, message);
    skarn_error_clear();
    EXPECT_EQ(skarn_error_last(), nullptr);
}

TEST_F(ErrorTest, EachThreadHasItsOwnRecord) {
    ClogCapture log;
    ASSERT_EQ(open_missing(dir), nullptr);
    const skarn_error_struct *mine = skarn_error_last();
    ASSERT_NE(mine, nullptr);
    const skarn_error_struct *theirs_before = mine;
    std::string theirs;
    testing::internal::CaptureStderr();
    std::thread other([&] {
        theirs_before = skarn_error_last();
        skarn_util_mask_byte(1, 1, 99);  // an unknown mask kind, logged
        if (const skarn_error_struct *error = skarn_error_last()) theirs = error->function;
    });
    other.join();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(theirs_before, nullptr);
    EXPECT_EQ(theirs, "skarn_util_mask_byte");
    ASSERT_EQ(skarn_error_last(), mine);
    EXPECT_STREQ(mine->function, "skarn_edit_create_session");
}

// A call made from inside a callback is the host's own: it records its
// failure, and the call running the callback, which succeeds, leaves it.
TEST_F(ErrorTest, CallFromACallbackRecordsItsOwnFailure) {
    const auto refuse_inside = [](const skarn_session_struct *session, int32_t event, const void *) {
        if (event == SESSION_EVT_EDIT) skarn_edit_delete(const_cast<skarn_session_struct *>(session), 0, 1);
    };
    Session s(skarn_edit_create_session(nullptr, refuse_inside, nullptr, SESSION_EVT_EDIT, dir.path().c_str()));
    ASSERT_TRUE(s);
    ClogCapture log;
    EXPECT_GT(skarn_edit_insert(s.get(), 0, "abc", 0), 0);
    const skarn_error_struct *error = skarn_error_last();
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error->function, "skarn_edit_delete");
    EXPECT_EQ(error->result, 0);
    EXPECT_STREQ(error->message, "refused: called from inside a callback of the same session");
}

TEST_F(ErrorTest, LogCallbackReceivesEveryLineAndTheStreamsNone) {
    std::vector<std::string> lines;
    skarn_set_log_callback(
        [](const char *line, void *user_data) {
            static_cast<std::vector<std::string> *>(user_data)->emplace_back(line);
        },
        &lines);
    ClogCapture log;
    testing::internal::CaptureStderr();
    ASSERT_EQ(open_missing(dir), nullptr);  // two lines, to the log stream by default
    skarn_util_mask_byte(1, 1, 99);         // one line, to stderr by default
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(errors, "");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0],
                ContainsRegex("^[a-z_]+\\.cpp@[0-9]+::skarn_edit_create_session: failed to copy original file '"));
    EXPECT_THAT(lines[1], ContainsRegex("^[a-z_]+\\.cpp@[0-9]+::skarn_edit_create_session: Windows error code=2: "));
    EXPECT_THAT(lines[2], ContainsRegex("^[a-z_]+\\.cpp@[0-9]+::skarn_util_mask_byte: unhandled mask kind$"));

    // Null restores the default streams.
    skarn_set_log_callback(nullptr, nullptr);
    testing::internal::CaptureStderr();
    ASSERT_EQ(open_missing(dir), nullptr);
    skarn_util_mask_byte(1, 1, 99);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("::skarn_util_mask_byte: unhandled mask kind\n"));
    EXPECT_THAT(log.str(), HasSubstr("::skarn_edit_create_session: Windows error code=2: "));
    EXPECT_EQ(lines.size(), 3u);
}

}  // namespace
