// The walk to a file's directory, a name at a time, that nobody else can
// turn towards files that are not theirs.
#pragma once

#include <sys/stat.h>

namespace decode {

// Why a step, or FILE, was refused (walk.cpp says when).
enum class distrust { none, other_owner, writable, linked, unmapped, unmapped_uid, unmapped_gid };

// Where a walk ended, and why it stopped where it did not reach FILE's
// directory.
struct walk {
    int dir = -1;                      // FILE's directory, open for reading
    const char *name = nullptr;        // FILE's last name, within its path
    distrust refused = distrust::none; // why, where a step was refused;
    int error = 0;                     // else, where dir is -1, the system's
    const char *place = ".";           // the directory or link the step left,
    struct stat left {};               // as a path, and its status
};

// Whether the run can give files away: it is root's, or holds CAP_CHOWN.
// Such a run is held to the stricter rules of open_directory.
bool privileged();

// Opens the directory in which path names its last name ("." where path
// ends in '/'), walking from "/" or the working directory a name at a time,
// following each link itself, at most 40, and judging every step, to a
// name, "..", or where a link leads. On success place is the directory, and
// left its status.
walk open_directory(const char *path);

// Judges the last step, from the walk's directory to file, opened in it, as
// every other; but an ordinary run's own file is taken in any directory,
// whose owner could remove or replace it at will, and a file whose owner or
// group the user namespace does not map is refused. Sets walked.refused.
bool trusted_file(walk &walked, const struct stat &file);

} // namespace decode
