/*
 * A module that takes the character major given at build time, so tests can
 * see what another module does when that major is taken.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>

MODULE_LICENSE("GPL");

static struct file_operations holderFops = {
    .owner = THIS_MODULE,
};

static int holderInit(void) {
    return register_chrdev(HOLDER_MAJOR, "holder", &holderFops);
}

static void holderExit(void) {
    unregister_chrdev(HOLDER_MAJOR, "holder");
}

module_init(holderInit);
module_exit(holderExit);
