// The walk to a file's directory, a name at a time, that no directory or
// link of another user's can turn towards files of someone else's.
#pragma once

#include <sys/stat.h>

namespace decode {

// What an untrusted step gives as its reason: out of another user's
// directory or link, or, where root runs, out of a directory of root's in
// which others may rename what it holds.
inline constexpr const char *untrusted_step = "its path leads out of another user's directory";
inline constexpr const char *writable_step =
    "its path leads out of a directory that others may write";

// Opens, for reading, the directory in which path names its last name, and
// points name at that name within path ("." where path ends in '/'). The
// walk starts at "/" for an absolute path, else at the working directory,
// and follows each link itself, at most 40 as the kernel allows. Each step
// goes from where the walk stands, a directory or a link, to the next: a
// name in the directory, "..", or where a link leads ("/", or the link's own
// directory, and on along its target). A step is trusted where what it
// leaves is owned by root or by the caller, or where what it reaches has
// the same owner as what it leaves; but where root runs, a directory that
// its group or others may write, and that is not sticky, vouches for none
// of its names. Returns the descriptor, or -1 with why it could not:
// untrusted_step, writable_step, or the system's message.
int open_directory(const char *path, const char *&name, const char *&why);

// Why the last step, from dir, the directory that open_directory gave, to
// file, opened in it, is not trusted, or nullptr. It is judged as every
// other step, except that an ordinary user's own file is taken in any
// directory: whoever owns that directory could remove or replace the file
// at will, so refusing it would protect nothing.
const char *untrusted_file(int dir, const struct stat &file);

} // namespace decode
