// A C++ program built against the installed package: the C interface and the
// string overloads. Exits non-zero at the first mismatch.
#include <skarn_edit.hpp>

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    const char *checkpoint_directory = argc > 1 ? argv[1] : nullptr;
    skarn_session_struct *session = skarn_edit_create_session(nullptr, nullptr, nullptr, 0, checkpoint_directory);
    if (session == nullptr) {
        std::fprintf(stderr, "app: no session\n");
        return 1;
    }
    const bool inserted = skarn_edit_insert_string(session, 0, std::string_view("tail", 4)) > 0 &&
                          skarn_edit_insert_string(session, 0, "head ") > 0;
    const std::string content = skarn_session_get_segment_string(session, 0, 100);
    skarn_edit_destroy_session(session);
    if (!inserted || content != "head tail") {
        std::fprintf(stderr, "app: unexpected content \"%s\"\n", content.c_str());
        return 1;
    }
    std::printf("app: skarn_edit %d.%d.%d (%s) works\n", skarn_version_major(), skarn_version_minor(),
                skarn_version_patch(), skarn_libtype());
    return 0;
}
