// The file a save really writes when its target is a symbolic link.
#ifndef SKARN_IMPL_SAVE_TARGET_HPP
#define SKARN_IMPL_SAVE_TARGET_HPP

#include <string>

// Where a save really writes: a target that is a symbolic link is followed,
// link by link, to the file it names (which may not exist yet), so that the
// file is replaced and the link stays. A relative link resolves against the
// directory of the link; a target that is no link (or cannot be looked at) is
// `resolved` as it is. `through_link` tells whether any link was followed: a
// save through a link creates no directory on the way to the file.
//
// Returns false with errno set: ELOOP past 40 links; EACCES for a link the
// kernel's protected-symlinks rule refuses to follow, whatever the system's
// setting of that rule (the save replaces the file by name, out of the
// kernel's sight): a link in a sticky, world-writable directory whose owner
// is neither this process's effective uid nor the directory's owner; or the
// reason a link or its directory could not be read. Throws std::bad_alloc.
bool resolve_save_target(const std::string &requested, std::string &resolved, bool &through_link);

#endif  // SKARN_IMPL_SAVE_TARGET_HPP
