#ifndef _LINUX_INIT_H
#define _LINUX_INIT_H

#define __init
#define __exit
#define __initdata
#define __exitdata

typedef int (*initcall_t)(void);

/* Built-in code's initialisation, run once at boot. All levels share one
 * section, run in link order: nothing built in depends on another's. */
#define __define_initcall(fn) \
    static initcall_t __initcall_##fn __attribute__((used, section("standin_initcall"))) = fn
#define device_initcall(fn) __define_initcall(fn)

#endif
