// The walk to a file's directory, a name at a time, that no directory or
// link of another user's can turn towards files of someone else's.
#pragma once

namespace decode {

// What an untrusted step gives as its reason.
inline constexpr const char *untrusted_step = "its path leads out of another user's directory";

// Opens, for reading, the directory in which path names its last name, and
// points name at that name within path ("." where path ends in '/'). The
// walk starts at "/" for an absolute path, else at the working directory,
// and follows each link itself, at most 40 as the kernel allows. Each step
// goes from where the walk stands, a directory or a link, to the next: a
// name in the directory, "..", or where a link leads ("/", or the link's own
// directory, and on along its target). A step is trusted where what it
// leaves is owned by root or by the caller, or where what it reaches has
// the same owner as what it leaves. Returns the descriptor, or -1 with why
// it could not: untrusted_step, or the system's message.
int open_directory(const char *path, const char *&name, const char *&why);

} // namespace decode
