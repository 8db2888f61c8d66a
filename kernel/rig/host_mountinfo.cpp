/*
 * Which host mount sits at a path, read from the host's
 * /proc/self/mountinfo: a hostfs remembers the one it was given and freezes
 * only that one. A FIFREEZE on a path whose file system was unmounted (or
 * replaced) would freeze whatever file system holds the directory now, the
 * host's root perhaps, where the service may be writing its own log.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "rig.h"

/* The whole file: proc files have no size, so it grows until a read ends. */
static char *read_mountinfo(void) {
    int fd = host_file_open("/proc/self/mountinfo", 0);
    if (fd < 0)
        return NULL;
    unsigned long size = 16384, len = 0;
    char *buf = (char *)host_malloc(size);
    for (;;) {
        if (len + 1 == size) {
            char *more = (char *)host_malloc(size * 2);
            memcpy(more, buf, len);
            host_free(buf);
            buf = more;
            size *= 2;
        }
        long n = host_file_pread(fd, buf + len, size - 1 - len, len);
        if (n <= 0) {
            if (n < 0) {
                host_free(buf);
                buf = NULL;
            }
            break;
        }
        len += (unsigned long)n;
    }
    host_file_close(fd);
    if (buf)
        buf[len] = '\0';
    return buf;
}

/* The next space-separated field of a line, cut out in place. */
static char *next_field(char **p) {
    char *start = *p;
    char *end = start;
    while (*end && *end != ' ' && *end != '\n')
        end++;
    *p = *end == ' ' ? end + 1 : end;
    *end = '\0';
    return start;
}

/* mountinfo writes space, tab, newline and backslash as \ooo. */
static void unescape(char *s) {
    char *out = s;
    for (; *s; s++) {
        if (s[0] == '\\' && s[1] >= '0' && s[1] <= '3' && s[2] >= '0' && s[2] <= '7' &&
            s[3] >= '0' && s[3] <= '7') {
            *out++ = (char)((s[1] - '0') * 64 + (s[2] - '0') * 8 + (s[3] - '0'));
            s += 3;
        } else {
            *out++ = *s;
        }
    }
    *out = '\0';
}

int host_mount_id(const char *path, char *id, unsigned long size) {
    char *info = read_mountinfo();
    if (!info)
        return -EIO;
    int ret = -ENOENT;
    char *line = info;
    while (*line) {
        char *eol = strchr(line, '\n');
        char *next = eol ? eol + 1 : line + strlen(line);
        if (eol)
            *eol = '\0';
        char *p = line;
        char *mount_id = next_field(&p);
        next_field(&p); /* the parent's */
        char *dev = next_field(&p);
        next_field(&p); /* the root of the mount within its file system */
        char *point = next_field(&p);
        unescape(point);
        /* Later lines are mounts made later: the last one is on top. */
        if (strcmp(point, path) == 0) {
            snprintf(id, size, "%s %s", mount_id, dev);
            ret = 0;
        }
        line = next;
    }
    host_free(info);
    return ret;
}
