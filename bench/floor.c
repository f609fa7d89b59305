// The least that any runner keeping its files the way tessimar-exec does can
// cost: its own exec, a work directory with a scratch directory in it, the
// source file, the node shim and the phase's three standard-stream files, one
// child started with the same environment, its wait, the read-back of its
// output and the removal of it all. No limits, no process count, no checks,
// no report beyond one line. lean_runs.sh puts it beside the runner, so that
// the runner's own share can be told from what the file system and the
// kernel charge for the files themselves.
//
// Usage: floor INTERPRETER EXTENSION < program
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static char program[1 << 16];
static char shim[850];  // the size of the runner's shim

static int write_file(const char* path, const char* text, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, text + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += (size_t)n;
    }
    return close(fd);
}

static long drain(const char* path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[4096];
    long total = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) total += n;
    close(fd);
    return n < 0 ? -1 : total;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor INTERPRETER EXTENSION < program\n");
        return 2;
    }
    size_t size = 0;
    ssize_t n;
    while (size < sizeof program && ((n = read(0, program + size, sizeof program - size)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) size += (size_t)n;
    memset(shim, '/', sizeof shim);

    const char* base = getenv("TMPDIR");
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char work[512], scratch[600], source[700], shim_path[700], in[700], out[700], err[700];
    char node_options[800], root[600], python_path[600], path_var[4096];
    snprintf(work, sizeof work, "%s/floor-%d-%lx", base ? base : "/tmp", (int)getpid(), (unsigned long)now.tv_nsec);
    snprintf(scratch, sizeof scratch, "%s/.tessimar-run", work);
    snprintf(source, sizeof source, "%s/main.%s", scratch, argv[2]);
    snprintf(shim_path, sizeof shim_path, "%s/_tessimar_node_sibling_shim.js", scratch);
    snprintf(in, sizeof in, "%s/run.in", scratch);
    snprintf(out, sizeof out, "%s/run.out", scratch);
    snprintf(err, sizeof err, "%s/run.err", scratch);
    snprintf(node_options, sizeof node_options, "NODE_OPTIONS=--require=%s", shim_path);
    snprintf(root, sizeof root, "TESSIMAR_WORKDIR_ROOT=%s", work);
    snprintf(python_path, sizeof python_path, "PYTHONPATH=%s", work);
    snprintf(path_var, sizeof path_var, "PATH=%s", getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");

    int status = 1;
    if (mkdir(work, 0777) != 0) {
        perror("floor: mkdir");
        return 1;
    }
    int fds[3] = {-1, -1, -1};
    if (mkdir(scratch, 0777) != 0 || write_file(source, program, size) != 0 ||
        write_file(shim_path, shim, sizeof shim) != 0 || write_file(in, "", 0) != 0) {
        perror("floor: files");
        goto out;
    }
    fds[0] = open(in, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    fds[1] = open(out, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    fds[2] = open(err, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fds[0] < 0 || fds[1] < 0 || fds[2] < 0) {
        perror("floor: open");
        goto out;
    }
    char* args[] = {argv[1], source, NULL};
    char* env[] = {"PYTHONUNBUFFERED=1", node_options, root, python_path, path_var, NULL};
    pid_t pid = vfork();
    if (pid == 0) {
        if (dup2(fds[0], 0) < 0 || dup2(fds[1], 1) < 0 || dup2(fds[2], 2) < 0 || chdir(work) != 0 || setpgid(0, 0) != 0)
            _exit(126);
        execvpe(argv[1], args, env);
        _exit(127);
    }
    if (pid < 0) {
        perror("floor: vfork");
        goto out;
    }
    int wstatus;
    struct rusage usage;
    while (wait4(pid, &wstatus, 0, &usage) < 0)
        if (errno != EINTR) {
            perror("floor: wait4");
            goto out;
        }
    long out_bytes = drain(out), err_bytes = drain(err);
    printf("{\"exit_code\":%d,\"stdout_bytes\":%ld,\"stderr_bytes\":%ld}\n", WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1,
           out_bytes, err_bytes);
    status = 0;
out:
    for (int i = 0; i < 3; ++i)
        if (fds[i] >= 0) close(fds[i]);
    const char* files[] = {source, shim_path, in, out, err};
    for (size_t i = 0; i < sizeof files / sizeof *files; ++i) unlink(files[i]);
    if (rmdir(scratch) != 0 && errno != ENOENT) status = 1;
    if (rmdir(work) != 0) status = 1;
    return status;
}
