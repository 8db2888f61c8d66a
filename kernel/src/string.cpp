/* String helpers the C library does not provide. */
#include <linux/string.h>

extern "C" size_t strlcpy(char *dest, const char *src, size_t size) {
    size_t len = strlen(src);
    if (size) {
        size_t n = len >= size ? size - 1 : len;
        memcpy(dest, src, n);
        dest[n] = 0;
    }
    return len;
}
