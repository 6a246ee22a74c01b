/* usage COMMAND [ARG...]: runs the command, its standard output to
 * /dev/null, and prints its peak resident memory in KiB and the CPU time it
 * took, user and system, in microseconds. Measured from this small parent,
 * since a child's figures start from its parent's at fork. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) < 0)
        return 1;
    printf("%ld %ld\n", usage.ru_maxrss,
           (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec);
    return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}
