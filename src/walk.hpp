// The walk to a file's directory, a name at a time, that nobody else can
// turn towards files that are not theirs.
#pragma once

#include <sys/stat.h>

namespace decode {

// Why a step was refused: it leaves another user's directory or link for
// what that user does not own; or, in a privileged run, a directory that
// others may write; or it reaches a link with other hard links; or it
// leaves what a user namespace does not map, or FILE is so owned.
enum class distrust {
    none,
    other_owner,
    writable,
    linked_link,
    unmapped,
    unmapped_owner,
    unmapped_group
};

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
// ends in '/'). The walk starts at "/" for an absolute path, else at the
// working directory, follows each link itself, at most 40, and judges every
// step, to a name, "..", or where a link leads. A step may leave what root
// or the caller owns, or reach what has the same owner as what it leaves;
// but in a privileged run no step leaves a directory that its group or
// others may write, unless it is sticky, whoever owns it. No step reaches
// a link with other hard links, or leaves what the run's user namespace
// does not map. On success place is the directory, and left its status.
walk open_directory(const char *path);

// Judges the last step, from the walk's directory to file, opened in it, as
// every other; but an ordinary run's own file is taken in any directory,
// whose owner could remove or replace it at will, and a file whose owner or
// group the user namespace does not map is refused. Sets walked.refused.
bool trusted_file(walk &walked, const struct stat &file);

} // namespace decode
