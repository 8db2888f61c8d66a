/*
 * printk and the kernel log. Lines are kept with their level; as in 2.6, a
 * level token is read only at the start of a line, and a message without a
 * newline leaves the line open for the next one.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <standin/machine.h>
#include <standin/syscalls.h>

#include "internal.h"

#define KLOG_MAX_LINES 65536
#define KLOG_DEFAULT_LEVEL 4

struct klog_line {
    int level;
    unsigned long long ts_ns;
    unsigned int len;
    unsigned int cap;
    char *text;
};

static struct host_mutex logbuf_lock;
static struct klog_line lines[KLOG_MAX_LINES];
static unsigned long first_line; /* index of the oldest kept line */
static unsigned long nr_lines;
static int new_text_line = 1;
static unsigned long long boot_ns;
static int console_level = -1;
static int console_fd = 2;

void klog_init(void) {
    boot_ns = host_monotonic_ns();
    const char *c = host_getenv("STANDIN_CONSOLE");
    if (c && c[0] >= '0' && c[0] <= '8')
        console_level = c[0] - '0';
}

static struct klog_line *line_at(unsigned long i) {
    return &lines[(first_line + i) % KLOG_MAX_LINES];
}

/* Called under logbuf_lock, so lines reach the console whole and in order. */
static void console_emit(struct klog_line *l) {
    if (console_level < 0 || l->level >= console_level)
        return;
    char buf[1100];
    int n = snprintf(buf, sizeof(buf), "[%5llu.%06llu] <%d>%.*s\n", l->ts_ns / 1000000000ULL,
                     (l->ts_ns / 1000ULL) % 1000000ULL, l->level, (int)l->len, l->text);
    host_write_fd(console_fd, buf, (unsigned long)min(n, (int)sizeof(buf) - 1));
}

extern "C" void standin_klog_console(int fd, int level) {
    host_mutex_lock(&logbuf_lock);
    console_fd = fd;
    console_level = fd < 0 ? -1 : level;
    /* The lines kept so far first, so the console misses none since boot;
     * a line still being written reaches it when it ends. */
    for (unsigned long i = 0; i + (new_text_line ? 0 : 1) < nr_lines; i++)
        console_emit(line_at(i));
    host_mutex_unlock(&logbuf_lock);
}

static void start_line(int level) {
    if (nr_lines == KLOG_MAX_LINES) {
        struct klog_line *old = line_at(0);
        host_free(old->text);
        memset(old, 0, sizeof(*old));
        first_line = (first_line + 1) % KLOG_MAX_LINES;
        nr_lines--;
    }
    struct klog_line *l = line_at(nr_lines++);
    l->level = level;
    l->ts_ns = host_monotonic_ns() - boot_ns;
    l->len = 0;
    l->cap = 128;
    l->text = (char *)host_malloc(l->cap);
}

static void emit_char(char c) {
    struct klog_line *l = line_at(nr_lines - 1);
    if (l->len + 1 >= l->cap) {
        char *t = (char *)host_malloc(l->cap * 2);
        memcpy(t, l->text, l->len);
        host_free(l->text);
        l->text = t;
        l->cap *= 2;
    }
    l->text[l->len++] = c;
}

extern "C" int vprintk(const char *fmt, va_list args) {
    char buf[1024];
    int printed = host_vsnprintf(buf, sizeof(buf), fmt, args);
    host_mutex_lock(&logbuf_lock);
    for (const char *p = buf; *p; p++) {
        if (new_text_line) {
            int level = KLOG_DEFAULT_LEVEL;
            if (p[0] == '<' && p[1] >= '0' && p[1] <= '7' && p[2] == '>') {
                level = p[1] - '0';
                p += 3;
            }
            start_line(level);
            new_text_line = 0;
            if (!*p)
                break;
        }
        if (*p == '\n') {
            new_text_line = 1;
            console_emit(line_at(nr_lines - 1));
            continue;
        }
        emit_char(*p);
    }
    host_mutex_unlock(&logbuf_lock);
    return printed;
}

extern "C" int printk(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int r = vprintk(fmt, args);
    va_end(args);
    return r;
}

static int line_equals(struct klog_line *l, const char *text, int prefix) {
    size_t n = strlen(text);
    if (prefix ? l->len < n : l->len != n)
        return 0;
    return memcmp(l->text, text, n) == 0;
}

static int klog_match(const char *text, int prefix) {
    int count = 0;
    host_mutex_lock(&logbuf_lock);
    for (unsigned long i = 0; i < nr_lines; i++)
        count += line_equals(line_at(i), text, prefix);
    host_mutex_unlock(&logbuf_lock);
    return count;
}

extern "C" int klog_contains(const char *line) {
    return klog_match(line, 0) > 0;
}
extern "C" int klog_count(const char *line) {
    return klog_match(line, 0);
}
extern "C" int klog_count_prefix(const char *prefix) {
    return klog_match(prefix, 1);
}

extern "C" int klog_level(const char *line) {
    int level = -1;
    host_mutex_lock(&logbuf_lock);
    for (unsigned long i = 0; i < nr_lines; i++)
        if (line_equals(line_at(i), line, 0))
            level = line_at(i)->level;
    host_mutex_unlock(&logbuf_lock);
    return level;
}

extern "C" void klog_clear(void) {
    standin_klog_clear();
}

extern "C" unsigned long standin_klog_lines(void) {
    host_mutex_lock(&logbuf_lock);
    unsigned long n = nr_lines;
    host_mutex_unlock(&logbuf_lock);
    return n;
}

extern "C" int standin_klog_line(unsigned long i, char *buf, unsigned long size) {
    int level = -1;
    host_mutex_lock(&logbuf_lock);
    if (i < nr_lines && size > 0) {
        struct klog_line *l = line_at(i);
        unsigned long n = min((unsigned long)l->len, size - 1);
        memcpy(buf, l->text, n);
        buf[n] = 0;
        level = l->level;
    }
    host_mutex_unlock(&logbuf_lock);
    return level;
}

namespace sys {

/* SYSLOG_ACTION_READ_ALL: the newest whole lines that fit, oldest first. */
int syslog(int type, char *buf, int len) {
    syscall_exit_check exit_check;
    if (type != 3 || !buf || len < 0) {
        host_set_errno(EINVAL);
        return -1;
    }
    host_mutex_lock(&logbuf_lock);
    unsigned long first = nr_lines, used = 0;
    while (first > 0) {
        struct klog_line *l = line_at(first - 1);
        /* "<L>" and a newline when the text has none. */
        unsigned long bytes = 3 + l->len + (l->len && l->text[l->len - 1] == '\n' ? 0 : 1);
        if (used + bytes > (unsigned long)len)
            break;
        used += bytes;
        first--;
    }
    unsigned long at = 0;
    for (unsigned long i = first; i < nr_lines; i++) {
        struct klog_line *l = line_at(i);
        buf[at++] = '<';
        buf[at++] = (char)('0' + (l->level & 7));
        buf[at++] = '>';
        memcpy(buf + at, l->text, l->len);
        at += l->len;
        if (!l->len || l->text[l->len - 1] != '\n')
            buf[at++] = '\n';
    }
    host_mutex_unlock(&logbuf_lock);
    return (int)at;
}

}  // namespace sys

extern "C" void standin_klog_clear(void) {
    host_mutex_lock(&logbuf_lock);
    for (unsigned long i = 0; i < nr_lines; i++) {
        host_free(line_at(i)->text);
        memset(line_at(i), 0, sizeof(struct klog_line));
    }
    nr_lines = 0;
    first_line = 0;
    new_text_line = 1;
    host_mutex_unlock(&logbuf_lock);
}

extern "C" void standin_klog_dump(void) {
    host_mutex_lock(&logbuf_lock);
    for (unsigned long i = 0; i < nr_lines; i++) {
        struct klog_line *l = line_at(i);
        char head[64];
        int n = snprintf(head, sizeof(head), "[%5llu.%06llu] <%d>", l->ts_ns / 1000000000ULL,
                         (l->ts_ns / 1000ULL) % 1000000ULL, l->level);
        host_write_stderr(head, (unsigned long)n);
        host_write_stderr(l->text, l->len);
        host_write_stderr("\n", 1);
    }
    host_mutex_unlock(&logbuf_lock);
}
