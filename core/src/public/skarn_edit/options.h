/*
 * skarn_edit/options.h: creating a session with an options record, and the
 * progress callback of long operations.
 *
 * The options record grows at its end: a caller fills `version` with
 * SKARN_SESSION_OPTIONS_VERSION (SKARN_SESSION_OPTIONS_INIT does it), and the
 * library reads only the fields that version had.
 */
#ifndef SKARN_EDIT_OPTIONS_H
#define SKARN_EDIT_OPTIONS_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/**
 * Progress of a long operation: `operation` is one of PROGRESS_OP_*, `done`
 * the bytes handled so far, `total` the bytes the operation handles in all
 * (-1 while that is not known, as for a file that reports size 0 but has
 * content). It is called at most once per few MiB and once more at the end
 * with done == total; the values of one operation never go back.
 *
 * A non-zero return cancels the operation at that point: it removes every
 * file it had made, leaves the session as it was before the call, logs one
 * line saying it was cancelled and returns its documented result (null for
 * session creation, -13 for saving, its failure result elsewhere). The
 * callback should not use the session it reports on: calls from it that
 * would change the session are refused, as from the session's other
 * callbacks.
 */
typedef int (*skarn_progress_cbk_t)(int32_t operation, int64_t done, int64_t total, void *user_data);

/** Operations that report progress. */
enum {
    PROGRESS_OP_COPY = 1,             /**< the private copy made by session creation */
    PROGRESS_OP_SAVE = 2,             /**< skarn_edit_save, skarn_edit_save_segment */
    PROGRESS_OP_CHECKPOINT = 3,       /**< skarn_edit_create_checkpoint */
    PROGRESS_OP_TRANSFORM = 4,        /**< skarn_edit_apply_transform (checkpoint, rewrite), skarn_edit_replace_all */
    PROGRESS_OP_CHARACTER_COUNTS = 5, /**< skarn_session_character_counts, skarn_session_character_counts_and_profile */
    PROGRESS_OP_BYTE_PROFILE = 6,     /**< skarn_session_byte_frequency_profile */
    PROGRESS_OP_SEARCH = 7            /**< skarn_search_next_match: bytes scanned in this call */
};

/** Bits of skarn_session_options_struct::flags. */
enum {
    /**
     * Read the caller's file where it is instead of a private copy of it.
     *
     * What this trades for its speed: opening costs the same for any size and
     * takes no disk space, but the session depends on the file staying as it
     * was. The session holds its own read-only descriptor, so a save that
     * replaces the file by rename (as every save of this library does) leaves
     * the session reading the old content. If another program changes the
     * file in place (its size, modification time or change time differ from
     * those seen at opening), every later read of the session's content fails
     * (-1, 0 or 1 by function, with one log line each time), and so does a
     * read during which the change landed (the identity is checked again
     * after reading), so no read returns old and new bytes mixed; saves refuse
     * with -14, writing nothing; only checkpoints taken before the change go
     * on reading. Removing or renaming the file also changes its change time,
     * and so counts as a change.
     *
     * A block device is read in place too, its size taken from the device
     * (a write to it through another descriptor changes none of its node's
     * times, so it goes unseen). A file whose size the file system cannot
     * tell (anything else but a regular file, or a regular file of size 0,
     * as /proc files report) is copied as without this flag, so that its
     * content is not silently empty.
     */
    SESSION_OPT_IN_PLACE = 1,
    /**
     * Keep a journal of the session, from which skarn_edit_resume_session
     * rebuilds it after the host process died (killed, crashed, out of
     * power) with every operation that had returned.
     *
     * The journal is a file of the checkpoint directory, named
     * ".Skarnpad-journal." and six more characters (skarn_session_get_journal_path
     * tells it), created exclusively (no link followed, mode 0600) and locked
     * for as long as the session lives. Every call that changes the session
     * (an edit, undo, redo, clear, the start or end of a transaction, a
     * checkpoint, a transform, a destroyed checkpoint, a save over the
     * caller's file) appends one checksummed record with one write before it
     * returns; the bytes of edits are kept in the journal only and read back
     * from it, so memory does not grow with the bytes inserted. The session
     * keeps its private copy and every checkpoint file (destroyed
     * checkpoints' too) until it ends. journal_sync_ms says when the records
     * reach the disk. When a record cannot be written (a full disk), the call
     * that needed it fails (its failure result, a log line) and so does every
     * later one that would need one, but saves: the journal then still tells
     * the state the session had. Ending the session removes the journal and
     * every file it kept.
     *
     * A session that reads its file in place (SESSION_OPT_IN_PLACE) and saves
     * over it keeps what its history still shows: the bytes an in-place save
     * destroys in a file of its own, and the file a save by rename replaces
     * under a second name (a hard link) in the checkpoint directory. Where
     * the file system refuses that link, the save still succeeds and logs
     * that the journal cannot be resumed past it.
     */
    SESSION_OPT_JOURNAL = 2
};

/** Options of skarn_edit_create_session_with_options. */
typedef struct skarn_session_options_struct {
    int32_t version;                     /**< SKARN_SESSION_OPTIONS_VERSION */
    int32_t flags;                       /**< SESSION_OPT_* bits */
    const char *checkpoint_directory;    /**< may be NULL: as skarn_edit_create_session chooses */
    skarn_session_event_cbk_t event_cbk; /**< may be NULL */
    void *user_data;                     /**< handed to event_cbk */
    int32_t event_interest;              /**< mask of SESSION_EVT_* */
    skarn_progress_cbk_t progress_cbk;   /**< may be NULL: no progress reported, nothing cancelled */
    void *progress_user_data;            /**< handed to progress_cbk */
    /* Version 2. */
    /**
     * With SESSION_OPT_JOURNAL, when records reach the disk: 0 never synced
     * (a process that dies loses nothing, a power cut may lose the newest
     * operations), N > 0 synced at most every N ms (after the first record
     * written N ms or more after the last sync: a power cut may lose what came
     * since), -1 synced before each operation returns.
     */
    int32_t journal_sync_ms;
} skarn_session_options_struct;

/** The newest version; records of version 1 (without journal_sync_ms) work as before. */
#define SKARN_SESSION_OPTIONS_VERSION 2
#define SKARN_SESSION_OPTIONS_INIT \
    { SKARN_SESSION_OPTIONS_VERSION, 0, NULL, NULL, NULL, 0, NULL, NULL, 0 }

/**
 * Creates a session over `file_path` (null or empty: over nothing) as
 * skarn_edit_create_session does, with the choices of `options` (null: all
 * defaults). The progress callback stays with the session and is used by its
 * long operations. Without SESSION_OPT_IN_PLACE the private copy clones the
 * file where the file system can, keeps its holes, and reads to the end of
 * files that report size 0 but have content.
 *
 * Returns the new session, owned by the caller until skarn_edit_destroy_session;
 * null on failure (a version this library does not know, unknown flags, a file
 * that cannot be opened or copied, a cancelled copy), with a log line. A
 * failed creation leaves no file of its own behind.
 */
SKARN_API skarn_session_struct *skarn_edit_create_session_with_options(
    const char *file_path, const skarn_session_options_struct *options) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_OPTIONS_H */
