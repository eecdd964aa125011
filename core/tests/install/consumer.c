/*
 * A C11 program built against an installed skarn_edit: it touches a few
 * families of the C interface and exits non-zero at the first mismatch.
 * Usage: consumer [checkpoint directory]
 */
#include <skarn_edit.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            fprintf(stderr, "consumer.c:%d: check failed: %s\n", __LINE__, #cond); \
            ++failures;                                                            \
        }                                                                          \
    } while (0)

static void check_identity(void) {
    CHECK(skarn_version() == ((skarn_version_major() << 24) | (skarn_version_minor() << 16) | skarn_version_patch()));
    CHECK(skarn_libtype() != NULL && strcmp(skarn_libtype(), "shared") == 0);
    CHECK(skarn_license_get() != NULL && strstr(skarn_license_get(), "Apache License") != NULL);
}

static void check_encode(void) {
    const uint8_t bytes[] = {0x00, 0x7f, 0xab, 0xff};
    char hex[2 * sizeof bytes + 1];
    uint8_t back[sizeof bytes + 1];
    CHECK(skarn_encode_bin2hex(bytes, hex, (int64_t)sizeof bytes) == 8);
    CHECK(strcmp(hex, "007fabff") == 0);
    CHECK(skarn_encode_hex2bin(hex, back, 8) == 4);
    CHECK(memcmp(back, bytes, sizeof bytes) == 0);
}

static void check_bom(void) {
    CHECK(strcmp(skarn_util_BOM_to_cstring(BOM_UTF8), "UTF-8") == 0);
    CHECK(strcmp(skarn_util_BOM_to_cstring(BOM_NONE), "none") == 0);
    CHECK(skarn_util_cstring_to_BOM("utf-16le") == BOM_UTF16LE);
    CHECK(skarn_util_BOM_size(BOM_UTF32BE) == 4);
}

static void check_session(const char *checkpoint_directory) {
    skarn_session_struct *session = skarn_edit_create_session(NULL, NULL, NULL, 0, checkpoint_directory);
    CHECK(session != NULL);
    if (session == NULL) return;
    CHECK(skarn_session_get_computed_file_size(session) == 0);
    CHECK(skarn_edit_insert(session, 0, "hello", 5) > 0);
    CHECK(skarn_edit_insert(session, 5, " world", 0) > 0);
    CHECK(skarn_session_get_computed_file_size(session) == 11);

    skarn_segment_struct *segment = skarn_segment_create(64);
    CHECK(segment != NULL);
    if (segment != NULL) {
        CHECK(skarn_session_get_segment(session, segment, 0) == 0);
        CHECK(skarn_segment_get_length(segment) == 11);
        const uint8_t *data = skarn_segment_get_data(segment);
        CHECK(data != NULL && memcmp(data, "hello world", 12) == 0);
        skarn_segment_destroy(segment);
    }
    skarn_edit_destroy_session(session);
}

static int lines_seen = 0;

static void count_line(const char *line, void *user_data) {
    (void)user_data;
    if (strstr(line, "::skarn_edit_create_session: ") != NULL) ++lines_seen;
}

/* A failure reaches a C host as a record and through the log callback. */
static void check_error(const char *checkpoint_directory) {
    skarn_error_clear();
    CHECK(skarn_error_last() == NULL);
    skarn_set_log_callback(count_line, NULL);
    skarn_session_struct *session = skarn_edit_create_session(
        "/nonexistent/skarn/file", NULL, NULL, 0, checkpoint_directory != NULL ? checkpoint_directory : "/tmp");
    skarn_set_log_callback(NULL, NULL);
    CHECK(session == NULL);
    CHECK(lines_seen > 0);
    const skarn_error_struct *error = skarn_error_last();
    CHECK(error != NULL);
    if (error == NULL) return;
    CHECK(error->result == 0);
    CHECK(error->sys_errno != 0);
    CHECK(strcmp(error->function, "skarn_edit_create_session") == 0);
    CHECK(strstr(error->message, "/nonexistent/skarn/file") != NULL);
}

int main(int argc, char **argv) {
    check_identity();
    check_encode();
    check_bom();
    check_session(argc > 1 ? argv[1] : NULL);
    check_error(argc > 1 ? argv[1] : NULL);
    if (failures != 0) {
        fprintf(stderr, "consumer: %d check(s) failed\n", failures);
        return 1;
    }
    printf("consumer: skarn_edit %d.%d.%d works\n", skarn_version_major(), skarn_version_minor(),
           skarn_version_patch());
    return 0;
}
