/* The floor of the benchmark: the least work a program can do to drive a
 * child through a pseudo-terminal, so that every other implementation can be
 * measured against it in the same run.
 *
 * It owns two roles, chosen by the first argument:
 *   serve  the harness side. Reads one command per line on stdin and answers
 *          one line on stdout. It opens raw pseudo-terminals, starts children
 *          on them (echo off, 24x80, like every other implementation in the
 *          run), and waits for a marker by poll + read + memmem on the raw
 *          bytes. It times itself on the monotonic clock, so the pipe to the
 *          harness is not part of any figure.
 *   emit   a child program for the bulk scenarios. Prints the prompt
 *          "EMIT> ", reads one line from its terminal, writes the output the
 *          line asks for, prints the prompt again. The lines it understands:
 *            write TOTAL SIZE WIDTH  TOTAL bytes in writes of SIZE bytes, as
 *                                    lines of WIDTH bytes (letters + "\n")
 *            file PATH               the file's bytes, in 64 KiB writes (cat)
 *
 * It must never clean, decode or keep the output it reads: it is the floor
 * because it only counts bytes and looks for the marker. It must never leave a
 * child behind: every session it opened is stopped and reaped before it exits.
 *
 * Commands of `serve` (strings are hex-encoded so that blanks, quotes and
 * backslashes in prompts and inputs pass unharmed; answers start with "ok"
 * or "err"):
 *   start PROG MARKER TIMEOUT_MS       -> ok ID NS BYTES FOUND
 *   ask ID INPUT MARKER TIMEOUT_MS     -> ok NS BYTES FOUND CPU_NS READS SWITCHES
 *                                         (writes INPUT "\n", then waits)
 *   close ID                           -> ok NS
 *   scale N ROUNDS PROG MARKER INPUT TIMEOUT_MS
 *        -> ok START_NS RT_NS CLOSE_NS FDS_PER_SESSION HWM_DELTA_KB FAILURES CPU_NS SWITCHES
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <dirent.h>

/* As large as a read of a terminal can usefully be: the floor makes as few
 * reads as the kernel allows (a terminal rarely hands over more than a few
 * KiB at once, so the size matters for bulk output only). */
#define READ_SIZE 65536
#define MAX_SESSIONS 1024
#define EMIT_PROMPT "EMIT> "
#define EMIT_BLOCK 65536

struct session {
    int fd;
    pid_t pid;
};

static struct session sessions[MAX_SESSIONS];

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Context switches of this process, voluntary and not: every time it slept
 * in poll and was woken, or was pushed off its processor. */
static uint64_t switches(void) {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (uint64_t)ru.ru_nvcsw + (uint64_t)ru.ru_nivcsw;
}

static uint64_t cpu_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static int write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

/* ---------- serve ---------- */

/* Opens a pseudo-terminal with echo off and a 24x80 window, and starts
 * `prog` (no arguments) as a session leader with the subordinate side as its
 * controlling terminal. Returns the master descriptor, or -1. */
static int spawn_on_pty(const char* prog, pid_t* pid_out) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    char name[128];
    if (grantpt(master) < 0 || unlockpt(master) < 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return -1;
    }
    int sub = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sub < 0) {
        close(master);
        return -1;
    }
    /* Echo goes off before the child exists, so that a program which reads
     * the terminal settings at start-up (readline does) sees them off. */
    struct termios t;
    if (tcgetattr(sub, &t) == 0) {
        t.c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL);
        tcsetattr(sub, TCSANOW, &t);
    }
    struct winsize ws = {.ws_row = 24, .ws_col = 80};
    ioctl(sub, TIOCSWINSZ, &ws);

    char* argv[] = {(char*)prog, NULL};
    pid_t pid = fork();
    if (pid < 0) {
        close(sub);
        close(master);
        return -1;
    }
    if (pid == 0) {
        /* Child: single-threaded parent, so plain calls are safe here. */
        setsid();
        ioctl(sub, TIOCSCTTY, 0);
        dup2(sub, 0);
        dup2(sub, 1);
        dup2(sub, 2);
        if (sub > 2) close(sub);
        signal(SIGPIPE, SIG_DFL);
        execv(prog, argv);
        _exit(127);
    }
    close(sub);
    *pid_out = pid;
    return master;
}

/* Reads until `marker` shows up in the raw bytes, the deadline passes or the
 * terminal closes. A window of the last (mlen - 1) bytes is carried between
 * reads so that a marker split across two reads is still found. */
static int wait_marker(int fd, const char* marker, size_t mlen, uint64_t timeout_ms,
                       uint64_t* bytes_out, uint64_t* reads_out) {
    static char buf[READ_SIZE + 4096];
    size_t keep = 0;
    uint64_t total = 0;
    uint64_t reads = 0;
    uint64_t deadline = now_ns() + timeout_ms * 1000000u;
    int found = 0;
    if (mlen == 0 || mlen > 4096) {
        *bytes_out = 0;
        *reads_out = 0;
        return 0;
    }
    for (;;) {
        uint64_t now = now_ns();
        if (now >= deadline) break;
        struct pollfd p = {.fd = fd, .events = POLLIN};
        int wait_ms = (int)((deadline - now + 999999u) / 1000000u);
        int r = poll(&p, 1, wait_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = read(fd, buf + keep, READ_SIZE);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; /* EIO once the child's side is gone */
        total += (uint64_t)n;
        reads++;
        size_t have = keep + (size_t)n;
        if (memmem(buf, have, marker, mlen) != NULL) {
            found = 1;
            break;
        }
        keep = have < mlen - 1 ? have : mlen - 1;
        memmove(buf, buf + have - keep, keep);
    }
    *bytes_out = total;
    *reads_out = reads;
    return found;
}

static void stop_session(struct session* s) {
    if (s->fd >= 0) close(s->fd);
    s->fd = -1;
    if (s->pid > 0) {
        kill(s->pid, SIGHUP);
        /* A child that ignores the hangup is not allowed to hang the run:
         * 2 s in steps of 100 us, then SIGKILL. */
        for (int i = 0; i < 20000; i++) {
            pid_t r = waitpid(s->pid, NULL, WNOHANG);
            if (r == s->pid || (r < 0 && errno != EINTR)) {
                s->pid = 0;
                return;
            }
            struct timespec step = {0, 100000};
            nanosleep(&step, NULL);
        }
        kill(s->pid, SIGKILL);
        waitpid(s->pid, NULL, 0);
        s->pid = 0;
    }
}

static int free_slot(void) {
    for (int i = 0; i < MAX_SESSIONS; i++)
        if (sessions[i].pid == 0 && sessions[i].fd < 0) return i;
    return -1;
}

/* Decodes hex in place; returns the length or -1. */
static long unhex(char* s) {
    size_t n = strlen(s);
    if (n % 2) return -1;
    for (size_t i = 0; i < n / 2; i++) {
        unsigned v;
        if (sscanf(s + 2 * i, "%2x", &v) != 1) return -1;
        s[i] = (char)v;
    }
    s[n / 2] = '\0';
    return (long)(n / 2);
}

static int count_fds(void) {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL)
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - 1; /* the directory stream's own descriptor */
}

static long status_kb(const char* field) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t fl = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, fl) == 0 && line[fl] == ':') {
            v = strtol(line + fl + 1, NULL, 10);
            break;
        }
    fclose(f);
    return v;
}

static void reset_peak_rss(void) {
    /* "5" resets VmHWM to the current RSS (Linux 4.0 and later). */
    int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0) {
        (void)!write(fd, "5", 1);
        close(fd);
    }
}

static void cmd_scale(long n, long rounds, const char* prog, const char* marker, size_t mlen,
                      const char* input, size_t ilen, uint64_t timeout_ms) {
    if (n <= 0 || n > MAX_SESSIONS) {
        printf("err bad-count\n");
        return;
    }
    struct session* s = calloc((size_t)n, sizeof *s);
    char* line = malloc(ilen + 1);
    memcpy(line, input, ilen);
    line[ilen] = '\n';
    int failures = 0;
    uint64_t bytes, reads;

    int fds_before = count_fds();
    reset_peak_rss();
    long rss_before = status_kb("VmRSS");

    uint64_t t0 = now_ns();
    for (long i = 0; i < n; i++) {
        s[i].fd = spawn_on_pty(prog, &s[i].pid);
        if (s[i].fd < 0) failures++;
    }
    for (long i = 0; i < n; i++)
        if (s[i].fd >= 0 && !wait_marker(s[i].fd, marker, mlen, timeout_ms, &bytes, &reads))
            failures++;
    uint64_t t1 = now_ns();
    int fds_alive = count_fds();
    uint64_t c1 = cpu_ns(), w1 = switches();
    for (long r = 0; r < rounds; r++)
        for (long i = 0; i < n; i++) {
            if (s[i].fd < 0) continue;
            if (write_all(s[i].fd, line, ilen + 1) < 0 ||
                !wait_marker(s[i].fd, marker, mlen, timeout_ms, &bytes, &reads))
                failures++;
        }
    uint64_t t2 = now_ns();
    uint64_t c2 = cpu_ns(), w2 = switches();
    long hwm = status_kb("VmHWM");
    for (long i = 0; i < n; i++) stop_session(&s[i]);
    uint64_t t3 = now_ns();

    printf("ok %llu %llu %llu %.3f %ld %d %llu %llu\n", (unsigned long long)(t1 - t0),
           (unsigned long long)(t2 - t1), (unsigned long long)(t3 - t2),
           (double)(fds_alive - fds_before) / (double)n, hwm - rss_before, failures,
           (unsigned long long)(c2 - c1), (unsigned long long)(w2 - w1));
    free(line);
    free(s);
}

static int serve(void) {
    for (int i = 0; i < MAX_SESSIONS; i++) sessions[i].fd = -1;
    setvbuf(stdout, NULL, _IOLBF, 0);
    char* line = NULL;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, stdin)) > 0) {
        char* argv[8] = {0};
        int argc = 0;
        for (char* tok = strtok(line, " \n"); tok && argc < 8; tok = strtok(NULL, " \n"))
            argv[argc++] = tok;
        if (argc == 0) continue;
        uint64_t bytes = 0, reads = 0;

        if (strcmp(argv[0], "start") == 0 && argc == 4) {
            long ml;
            if (unhex(argv[1]) < 0 || (ml = unhex(argv[2])) < 0) {
                printf("err hex\n");
                continue;
            }
            int id = free_slot();
            if (id < 0) {
                printf("err full\n");
                continue;
            }
            uint64_t t0 = now_ns();
            int fd = spawn_on_pty(argv[1], &sessions[id].pid);
            if (fd < 0) {
                printf("err spawn %d\n", errno);
                continue;
            }
            sessions[id].fd = fd;
            int found = wait_marker(fd, argv[2], (size_t)ml, strtoull(argv[3], NULL, 10), &bytes,
                                    &reads);
            uint64_t t1 = now_ns();
            printf("ok %d %llu %llu %d\n", id, (unsigned long long)(t1 - t0),
                   (unsigned long long)bytes, found);
        } else if (strcmp(argv[0], "ask") == 0 && argc == 5) {
            int id = atoi(argv[1]);
            long il, ml;
            if (id < 0 || id >= MAX_SESSIONS || sessions[id].fd < 0 || (il = unhex(argv[2])) < 0 ||
                (ml = unhex(argv[3])) < 0) {
                printf("err args\n");
                continue;
            }
            /* The line feed is written in the same call, as a caller that
             * builds the line once would. */
            argv[2][il] = '\n';
            uint64_t c0 = cpu_ns();
            uint64_t w0 = switches();
            uint64_t t0 = now_ns();
            if (write_all(sessions[id].fd, argv[2], (size_t)il + 1) < 0) {
                printf("err write %d\n", errno);
                continue;
            }
            int found = wait_marker(sessions[id].fd, argv[3], (size_t)ml,
                                    strtoull(argv[4], NULL, 10), &bytes, &reads);
            uint64_t t1 = now_ns();
            uint64_t c1 = cpu_ns();
            uint64_t w1 = switches();
            printf("ok %llu %llu %d %llu %llu %llu\n", (unsigned long long)(t1 - t0),
                   (unsigned long long)bytes, found, (unsigned long long)(c1 - c0),
                   (unsigned long long)reads, (unsigned long long)(w1 - w0));
        } else if (strcmp(argv[0], "close") == 0 && argc == 2) {
            int id = atoi(argv[1]);
            if (id < 0 || id >= MAX_SESSIONS || sessions[id].pid == 0) {
                printf("err args\n");
                continue;
            }
            uint64_t t0 = now_ns();
            stop_session(&sessions[id]);
            uint64_t t1 = now_ns();
            printf("ok %llu\n", (unsigned long long)(t1 - t0));
        } else if (strcmp(argv[0], "scale") == 0 && argc == 7) {
            long ml, il;
            if (unhex(argv[3]) < 0 || (ml = unhex(argv[4])) < 0 || (il = unhex(argv[5])) < 0) {
                printf("err hex\n");
                continue;
            }
            cmd_scale(atol(argv[1]), atol(argv[2]), argv[3], argv[4], (size_t)ml, argv[5],
                      (size_t)il, strtoull(argv[6], NULL, 10));
        } else {
            printf("err unknown\n");
        }
    }
    free(line);
    for (int i = 0; i < MAX_SESSIONS; i++)
        if (sessions[i].pid != 0 || sessions[i].fd >= 0) stop_session(&sessions[i]);
    return 0;
}

/* ---------- emit ---------- */

#define EMIT_MAX_WIDTH 4096

/* One write's worth of lines plus one line more, so that a write may start
 * anywhere inside a line. */
static char block[EMIT_BLOCK + EMIT_MAX_WIDTH];

/* Fills `p` with lines of `width` bytes (width - 1 letters and a line feed). */
static void fill_lines(char* p, size_t n, size_t width) {
    for (size_t i = 0; i < n; i++)
        p[i] = (i % width == width - 1) ? '\n' : (char)('a' + (i % width) % 26);
}

/* Writes `total` bytes in writes of `size` bytes each, as one unbroken run
 * of lines of `width` bytes: large blocks for the bulk scenario, one short
 * line per write for the flood (what a line-buffered program does). */
static int emit_pattern(unsigned long long total, size_t size, size_t width) {
    if (size == 0 || size > EMIT_BLOCK || width < 2 || width > EMIT_MAX_WIDTH) return -1;
    fill_lines(block, sizeof block, width);
    size_t offset = 0; /* where in its line the next write starts */
    while (total > 0) {
        size_t n = total < size ? (size_t)total : size;
        if (write_all(1, block + offset, n) < 0) return -1;
        offset = (offset + n) % width;
        total -= n;
    }
    return 0;
}

static int emit_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n;
    while ((n = read(fd, block, EMIT_BLOCK)) > 0)
        if (write_all(1, block, (size_t)n) < 0) break;
    close(fd);
    return n == 0 ? 0 : -1;
}

static int emit(void) {
    char line[4096];
    for (;;) {
        if (write_all(1, EMIT_PROMPT, strlen(EMIT_PROMPT)) < 0) return 1;
        /* Canonical mode: one read returns one line. */
        ssize_t n = read(0, line, sizeof line - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        line[n] = '\0';
        line[strcspn(line, "\r\n")] = '\0';
        unsigned long long total;
        size_t size, width;
        char path[4096];
        if (sscanf(line, "write %llu %zu %zu", &total, &size, &width) == 3) {
            emit_pattern(total, size, width);
        } else if (sscanf(line, "file %4095s", path) == 1) {
            emit_file(path);
        } else if (strcmp(line, "quit") == 0) {
            return 0;
        }
    }
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "serve") == 0) return serve();
    if (argc >= 2 && strcmp(argv[1], "emit") == 0) return emit();
    fprintf(stderr, "usage: %s serve|emit\n", argv[0]);
    return 2;
}
