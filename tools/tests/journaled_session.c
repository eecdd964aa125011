/* A program that edits with a journaled session, for the tests of
 * `skarn journals`: journaled_session FILE (die | hold) inserts bytes into a
 * session over FILE, takes a checkpoint, prints the journal's path, then
 * dies at once (die: the journal and its files stay behind) or lives until
 * its standard input closes and ends the session (hold). */
#include <skarn_edit.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: journaled_session FILE (die | hold)\n", stderr);
        return 2;
    }
    skarn_session_options_struct options = SKARN_SESSION_OPTIONS_INIT;
    options.flags = SESSION_OPT_JOURNAL;
    skarn_session_struct *session = skarn_edit_create_session_with_options(argv[1], &options);
    if (session == NULL || skarn_edit_insert_bytes(session, 0, (const uint8_t *)"journaled", 9) <= 0 ||
        skarn_edit_create_checkpoint(session) != 0 || skarn_session_get_journal_path(session) == NULL) {
        fputs("journaled_session: the journaled session failed\n", stderr);
        return 1;
    }
    printf("%s\n", skarn_session_get_journal_path(session));
    fflush(stdout);
    if (strcmp(argv[2], "die") == 0) _exit(0);
    while (getchar() != EOF) {
    }
    skarn_edit_destroy_session(session);
    return 0;
}
