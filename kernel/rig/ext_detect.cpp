/*
 * Recognising the ext2/ext3/ext4 family from its super block (1024 bytes at
 * byte 1024 of the device): the magic, the block size, and the features that
 * tell the three apart (a journal makes ext3; anything ext3 cannot read makes
 * ext4).
 */
#include <linux/kernel.h>
#include <linux/errno.h>

#include "rig.h"

#define EXT_MAGIC 0xef53
#define EXT_OFF_LOG_BLOCK_SIZE 24
#define EXT_OFF_MAGIC 56
#define EXT_OFF_FEATURE_COMPAT 92
#define EXT_OFF_FEATURE_INCOMPAT 96
#define EXT_OFF_FEATURE_RO_COMPAT 100

#define EXT3_FEATURE_COMPAT_HAS_JOURNAL 0x0004
/* What ext3 understands; any other incompatible or read-only feature is ext4's. */
#define EXT3_FEATURE_INCOMPAT_SUPP 0x001e  /* filetype, recover, journal_dev, meta_bg */
#define EXT3_FEATURE_RO_COMPAT_SUPP 0x0007 /* sparse_super, large_file, btree_dir */

static unsigned int le16_at(const unsigned char *p, int off) {
    return (unsigned int)p[off] | (unsigned int)p[off + 1] << 8;
}

static unsigned int le32_at(const unsigned char *p, int off) {
    return le16_at(p, off) | le16_at(p, off + 2) << 16;
}

/* The type's name and block size of an ext super block, or NULL. */
const char *ext_detect(const unsigned char *super, unsigned int *blocksize) {
    if (le16_at(super, EXT_OFF_MAGIC) != EXT_MAGIC)
        return NULL;
    unsigned int log = le32_at(super, EXT_OFF_LOG_BLOCK_SIZE);
    if (log > 2) /* beyond 4096 bytes: more than a page */
        return NULL;
    *blocksize = 1024u << log;
    unsigned int compat = le32_at(super, EXT_OFF_FEATURE_COMPAT);
    unsigned int incompat = le32_at(super, EXT_OFF_FEATURE_INCOMPAT);
    unsigned int ro_compat = le32_at(super, EXT_OFF_FEATURE_RO_COMPAT);
    if ((incompat & ~EXT3_FEATURE_INCOMPAT_SUPP) || (ro_compat & ~EXT3_FEATURE_RO_COMPAT_SUPP))
        return "ext4";
    if (compat & EXT3_FEATURE_COMPAT_HAS_JOURNAL)
        return "ext3";
    return "ext2";
}
