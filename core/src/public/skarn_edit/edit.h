/*
 * skarn_edit/edit.h: session lifecycle, edits, undo and redo, saving,
 * checkpoints, transforms and replace-all.
 *
 * Edits, undo and redo return a 64-bit serial: greater than 0 on success, 0
 * when refused before anything was made, -1 on failure. Other operations
 * return 0 on success and a negative value on failure.
 *
 * Callbacks: while a session delivers an event or a viewport callback, the
 * calls from that callback that would change the same session's content,
 * history, checkpoint levels or viewport list are refused and change nothing
 * (a log line says so): edits, undo and redo return 0; clear, checkpoint
 * creation and destruction, transforms and replace-all return -1; creating a viewport
 * returns null; destroying a viewport or the session does nothing. Reading
 * functions, searches and saves keep working inside callbacks.
 */
#ifndef SKARN_EDIT_EDIT_H
#define SKARN_EDIT_EDIT_H

#include "types.h"

SKARN_EXTERN_C_BEGIN

/** Save flags (a bit set; other bits are ignored). */
enum {
    IO_FLG_NONE = 0,            /**< an existing target gets a free numbered variant of its name; a
                                     file another program creates under the chosen name while the
                                     save runs is not replaced either (the next free name is used) */
    IO_FLG_OVERWRITE = 1,       /**< replace an existing target; refuses (-100) to replace the caller's
                                     file when anything changed it since the session read it or last
                                     saved over it, at every checkpoint level. The check is made before
                                     writing and again once the new content is synced, right before the
                                     rename: only a write of another program that lands between that
                                     last check and the rename itself can still be missed */
    IO_FLG_FORCE_OVERWRITE = 2, /**< replace an existing target without that check */
    IO_FLG_IN_PLACE = 4         /**< write the content into the file the session was created over, in that
                                     file itself, through a journal (see skarn_edit_save_segment); the
                                     IO_FLG_OVERWRITE check applies unless IO_FLG_FORCE_OVERWRITE is given */
};

/**
 * Opens a session over `file_path` (null or empty: over nothing). The file is
 * copied into `checkpoint_directory` (null: the file's directory, else the
 * temporary directory, else the current directory) and only the copy is read.
 * The session's private files there (the copy, checkpoint files) are marked
 * as in use with a lock for as long as it lives; creating a session first
 * removes the files of these names in its directory that no live session
 * marks, left by sessions whose process was killed or crashed.
 * With a null `checkpoint_directory`, a file's directory too long for the
 * private file names (more than 223 bytes) is replaced by the temporary
 * directory; a directory given by the caller is used as given. The copy is
 * created exclusively (never through a symbolic link) with mode 0600 and
 * filled through its own descriptor. The session records the identity of the
 * file it copied (device, inode, size, modification and change times) for the
 * IO_FLG_OVERWRITE check.
 * `cbk` (may be null) receives the events of `event_interest`; `user_data` is
 * stored as passed. Returns the session, owned by the caller until
 * skarn_edit_destroy_session, or null on failure (with a log line).
 */
SKARN_API skarn_session_struct *skarn_edit_create_session(const char *file_path, skarn_session_event_cbk_t cbk,
                                                          void *user_data, int32_t event_interest,
                                                          const char *checkpoint_directory) SKARN_NOEXCEPT;

/**
 * Destroys the session: its search contexts and viewports (newest first,
 * announcing SESSION_EVT_DESTROY_VIEWPORT for each), its files in the
 * checkpoint directory, and the record. A null session is ignored.
 */
SKARN_API void skarn_edit_destroy_session(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Rebuilds the session that the journal at `journal_path` describes (see
 * SESSION_OPT_JOURNAL in options.h), left behind by a process that died: the
 * same content, serials (the next change gets the next serial), counts of
 * changes and undone changes, transaction state and checkpoints, as they
 * were when its last recorded call returned. The resumed session journals
 * on into the same journal, and works in the journal's directory with the
 * journal's flags; of `options` (null: all defaults) it takes the
 * callbacks and journal_sync_ms. No event is sent for the records replayed;
 * SESSION_EVT_CREATE is sent once it is made.
 *
 * A record cut short or failing its checksum ends the journal there: every
 * record before it is resumed, and the journal is cut after the last one.
 * Returns the session, owned by the caller until skarn_edit_destroy_session
 * (which removes the journal); null with a log line when it is refused: the
 * caller's file no longer has the identity the journal last recorded, a
 * live session holds the journal, its header is damaged, a file it names is
 * missing, or an options version this library does not know. A refused
 * journal stays as it was.
 */
struct skarn_session_options_struct; /* options.h */
SKARN_API skarn_session_struct *skarn_edit_resume_session(
    const char *journal_path, const struct skarn_session_options_struct *options) SKARN_NOEXCEPT;

/**
 * Inserts `length` bytes at `offset`; a length of 0 takes `bytes` as a C
 * string. The bytes are copied. Returns the change's serial, 0 when refused
 * (changes paused, negative length, offset negative or past the end), -1 on
 * failure.
 */
SKARN_API int64_t skarn_edit_insert_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                          int64_t length) SKARN_NOEXCEPT;

/** skarn_edit_insert_bytes taking characters. */
SKARN_API int64_t skarn_edit_insert(skarn_session_struct *session, int64_t offset, const char *cstr,
                                    int64_t length) SKARN_NOEXCEPT;

/**
 * Overwrites `length` bytes at `offset` (a length of 0 takes `bytes` as a C
 * string); bytes past the end of the content extend it. Returns as
 * skarn_edit_insert_bytes.
 */
SKARN_API int64_t skarn_edit_overwrite_bytes(skarn_session_struct *session, int64_t offset, const uint8_t *bytes,
                                             int64_t length) SKARN_NOEXCEPT;

/** skarn_edit_overwrite_bytes taking characters. */
SKARN_API int64_t skarn_edit_overwrite(skarn_session_struct *session, int64_t offset, const char *cstr,
                                       int64_t length) SKARN_NOEXCEPT;

/**
 * Deletes up to `length` bytes at `offset` (cut at the end of the content).
 * Returns the change's serial, 0 when refused (changes paused, length below 1,
 * offset negative or not inside the content), -1 on failure.
 */
SKARN_API int64_t skarn_edit_delete(skarn_session_struct *session, int64_t offset, int64_t length) SKARN_NOEXCEPT;

/**
 * Undoes the last change transaction. Returns the negative serial of its
 * oldest change, 0 when changes are paused or nothing is left to undo, -1 on
 * failure.
 */
SKARN_API int64_t skarn_edit_undo_last_change(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Redoes the last undone change transaction. Returns the serial of its newest
 * change, 0 when changes are paused or nothing is left to redo, -1 on failure.
 */
SKARN_API int64_t skarn_edit_redo_last_undo(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Forgets the whole history and returns the content to the original file,
 * dropping every checkpoint. Works while changes are paused. Returns 0, or -1
 * when the original file cannot be read (nothing is changed then).
 */
SKARN_API int skarn_edit_clear_changes(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Saves the whole content to `file_path` through a temporary file beside it
 * (see skarn_edit_save_segment for what a save guarantees).
 * `saved_path` (null, or at least 260 bytes owned by the caller) receives the
 * absolute path written. Returns 0, or a negative code (see
 * skarn_edit_save_segment).
 */
SKARN_API int skarn_edit_save(skarn_session_struct *session, const char *file_path, int io_flags,
                              char *saved_path) SKARN_NOEXCEPT;

/**
 * Saves `length` bytes of content from `offset` (a length below 1: to the
 * end; a negative offset is refused).
 *
 * The content is written to a temporary file in the target's directory,
 * flushed with every error checked, made durable with fsync, then named
 * (".Skarnpad_XXXXXX", mode 0600 for a new target), closed and renamed onto
 * the target in one step; the directory is then flushed as well. Where the
 * file system can make unnamed files, the temporary file has no name until
 * its data are synced, so a process killed while it writes leaves nothing
 * beside the target; elsewhere it is created exclusively under that name
 * from the start, and a later session whose checkpoint directory it lies in
 * removes it. The target is never removed first: until the rename it is
 * exactly as it was, and every failure removes the temporary file. A
 * directory the save had to create stays.
 *
 * Where the file system shares blocks between files (XFS with reflink,
 * btrfs), the whole blocks of the session's file that land in the new file
 * at the same offset modulo the block size (all of them, unless an edit
 * before them changed the length by other than whole blocks) are cloned
 * instead of copied: the new file shares them copy-on-write, and only the
 * rest is written. Where cloning is refused the content is written, and that
 * file system is not tried again by this process.
 *
 * Replacing an existing file keeps its permission bits and, where the process
 * may set them, its owner and group. A target that is a symbolic link is
 * followed: the file it names is replaced and the link stays a link. The new
 * file is a new inode: other hard links of the replaced file keep the old
 * content. A new file is created with mode 0600.
 *
 * Returns 0 on success, or: -1 bad offset; -2 target directory cannot be
 * created (a directory on the way to the file a link names is never created:
 * -2 when it is missing); -3 temporary name too long; -4 temporary file cannot be created;
 * -5 no longer returned (the temporary file is written through the descriptor
 * that created it); -6 a stretch of the level's file could not be copied;
 * -7 writing, flushing, fsync, setting the permission bits or closing the
 * temporary file failed; -8/-9 size mismatch; -10 no longer returned (the
 * target is never removed); -11 no free numbered name; -12 the rename failed,
 * or the target is a loop of symbolic links, or a link the kernel's
 * protected-symlinks rule would not follow (a link in a sticky,
 * world-writable directory owned neither by this process's user nor by the
 * directory's owner), or a target that is a device, FIFO or socket (which
 * a rename would replace by a regular file), the target untouched; -13
 * cancelled by the session's progress callback (no file left, nothing
 * changed); -14 the file an in-place session reads was changed by another
 * program (nothing written); -15 the file is in place but its directory could
 * not be flushed (it may not survive a crash); -100 the caller's file changed
 * on disk (see IO_FLG_OVERWRITE; use IO_FLG_FORCE_OVERWRITE). After a
 * successful save over the caller's file the session records that file's new
 * identity, so the next save over it works.
 */
SKARN_API int skarn_edit_save_segment(skarn_session_struct *session, const char *file_path, int io_flags,
                                      char *saved_path, int64_t offset, int64_t length) SKARN_NOEXCEPT;

/**
 * Saving in place (IO_FLG_IN_PLACE): `file_path` must name the file the
 * session was created over (through any link or path that reaches the same
 * file) and the range must be the whole content; anything else is refused
 * (-16) with nothing written. The file keeps its inode, hard links,
 * permissions and extended attributes, and only what differs is written:
 * stretches whose bytes already sit where they stay are not touched, a
 * length change moves the tail inside the file in bounded chunks, the new
 * length is allocated first and the file is cut to it last.
 *
 * The save is made safe against a crash or power cut by a journal beside the
 * file, ".<name>.skarn-journal" in the file's directory (for a block device
 * "/var/tmp/.skarn-dev-<major>-<minor>.skarn-journal"), created exclusively
 * with mode 0600 and never through a link. It holds the new bytes, the plan
 * of moves and, for each chunk whose move overlaps its own source, that
 * chunk's old bytes; it is synced, with its directory, before the file is
 * touched. An interrupted save leaves the file as the journal's recovery
 * (skarn_util_recover_file, or the next session created over the file) turns
 * into exactly the old content (when the journal was not complete on disk)
 * or exactly the new content. The journal is removed, and the directory
 * synced, when the save is complete. Extra disk needed: the journal, that is
 * the new bytes and a scratch area of at most 32 MiB.
 *
 * The session goes on with the same content and history; bytes of the file
 * that its history (or a level below a checkpoint) still shows and that the
 * save overwrites or removes are first kept in an unnamed file of the
 * session's own in its checkpoint directory, and an in-place session's base
 * level then reads the file as it now is. An in-place session saved with no
 * history and no checkpoint keeps nothing and takes the saved content as its
 * original (skarn_edit_clear_changes returns to it); otherwise clearing
 * returns to the content the session was created over. When
 * the file changed on disk since the session read it or last saved over it,
 * IO_FLG_FORCE_OVERWRITE rewrites it whole (its journal then holds the whole
 * content). A block device is written in place only when its size does not
 * change.
 *
 * Results beyond those of a save by rename: -16 refused (not the session's
 * file, a part of the content, or a session over nothing); -17 refused, a
 * block device cannot change size; -18 the journal could not be created
 * (another save of the file is under way, or an earlier one left it), written
 * or synced, or the new length could not be allocated (a full disk): the file
 * is as it was; -19 the journal is complete but the file could not be
 * brought to the new content (a write, sync or truncation failed): the
 * journal stays, and recovery completes the save. -13 (cancelled) is
 * possible only before the journal is complete; -15 means the new content is
 * in place and synced but the journal's removal may not be durable, or a
 * descriptor of the file or the journal failed to close.
 */

/**
 * Freezes the content into a new checkpoint file and starts a new level on
 * it. The file is created exclusively (mode 0600, never through a link),
 * written and then read through its own descriptor; it is not fsynced (it
 * lives only as long as the session). Like a save, it shares the blocks of
 * the file the content was read from where it can. Announces
 * SESSION_EVT_SAVE with a null pointer, then SESSION_EVT_CREATE_CHECKPOINT.
 * Returns 0, or -1 on failure: the session is unchanged and no file is left
 * behind.
 */
SKARN_API int skarn_edit_create_checkpoint(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Drops the last checkpoint level and its file, returning to the content and
 * history of the level below. Returns 0, or -1 when there is no checkpoint.
 */
SKARN_API int skarn_edit_destroy_last_checkpoint(skarn_session_struct *session) SKARN_NOEXCEPT;

/**
 * Replaces each byte of [offset, offset + length) (length 0: to the end) by
 * `transform`'s result, through a new checkpoint (destroy it to take the
 * transform back). The transformed copy goes to a private file created
 * exclusively beside the checkpoint (mode 0600), which replaces the
 * checkpoint file by a rename. Returns 0, or -1 on failure (the new
 * checkpoint stays, untransformed, and no other file is left behind).
 */
SKARN_API int skarn_edit_apply_transform(skarn_session_struct *session, skarn_util_byte_transform_t transform,
                                         void *user_data, int64_t offset, int64_t length) SKARN_NOEXCEPT;

/** Flags of skarn_edit_replace_all. */
enum {
    REPLACE_IGNORE_CASE = 1 /**< ASCII letters match either case, as in a case-insensitive search */
};

/**
 * Replaces every non-overlapping match of `pattern` (`pattern_length` bytes,
 * at least 1 and under 512 KiB) in [offset, offset + length) (length 0: to
 * the end) by `replacement` (`replacement_length` bytes; none deletes the
 * matches, and the pointer may then be null), left to right: the search goes
 * on after each match, so a replacement is never searched again. The result
 * goes to a new checkpoint, written in one pass in memory that does not grow
 * with the content or the number of matches; destroy the checkpoint to take
 * the whole replacement back. Announced as a transform is (SESSION_EVT_SAVE
 * with a null pointer, SESSION_EVT_CREATE_CHECKPOINT, VIEWPORT_EVT_TRANSFORM
 * to every viewport, SESSION_EVT_TRANSFORM), and its progress is reported as
 * PROGRESS_OP_TRANSFORM (the total grows, once, by the bytes searched before
 * the first match). `flags`: REPLACE_IGNORE_CASE or 0. Returns the
 * number of replacements; 0 when nothing matched (no checkpoint is made);
 * -1 on failure, logged: bad arguments, changes paused, a call from a
 * callback, a session with a journal (SESSION_OPT_JOURNAL, which has no
 * record of it yet), cancelled by the progress callback, a read or write
 * failure. A
 * failed call leaves the session as it was and no file behind.
 */
SKARN_API int64_t skarn_edit_replace_all(skarn_session_struct *session, const uint8_t *pattern, int64_t pattern_length,
                                         const uint8_t *replacement, int64_t replacement_length, int64_t offset,
                                         int64_t length, int32_t flags) SKARN_NOEXCEPT;

SKARN_EXTERN_C_END

#endif /* SKARN_EDIT_EDIT_H */
