/* measure INPUT OUTPUT PROGRAM [ARGUMENT...]: runs PROGRAM once with standard
 * input from INPUT and standard output to OUTPUT (created or truncated),
 * standard error kept, and prints one line: the wall time from fork to
 * reaping in microseconds, the peak resident set size in KiB, and the exit
 * status (-1 when it did not exit). */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

int main(int argc, char** argv)
{
    struct rusage usage;
    long long start;
    int status;
    pid_t pid;

    if (argc < 4) {
        fputs("usage: measure INPUT OUTPUT PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    start = now_us();
    pid = fork();
    if (pid == 0) {
        int in = open(argv[1], O_RDONLY);
        int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) {
            _exit(127);
        }
        close(in);
        close(out);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) {
        perror("measure");
        return 1;
    }
    printf("%lld %ld %d\n", now_us() - start, usage.ru_maxrss,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
