/*
 * BUG(), WARN_ON(), panic() and the context checks of sleeping functions.
 * A BUG prints the report to the log and to stderr and stops the process,
 * so a test that trips one fails loudly.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <standin/machine.h>

#include "internal.h"

static void report_line(const char *fmt, va_list ap) {
    char buf[1024];
    host_vsnprintf(buf, sizeof(buf), fmt, ap);
    host_write_stderr(buf, strlen(buf));
}

static void stderr_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void stderr_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    report_line(fmt, ap);
    va_end(ap);
}

extern "C" void dump_stack(void) {
    host_dump_stack();
}

void kernel_die(const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    host_vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    printk("<0>%s", buf);
    host_write_stderr(buf, strlen(buf));
    struct task_struct *t = current;
    stderr_printf("Pid: %d, comm: %s\nCall Trace:\n", t->pid, t->comm);
    host_dump_stack();
    host_abort();
}

extern "C" void __kernel_bug(const char *file, int line) {
    kernel_die("------------[ cut here ]------------\nkernel BUG at %s:%d!\n", file, line);
}

extern "C" void __kernel_warn(const char *file, int line) {
    printk("<4>------------[ cut here ]------------\n");
    printk("<4>WARNING: at %s:%d\n", file, line);
    stderr_printf("WARNING: at %s:%d\n", file, line);
    host_dump_stack();
}

extern "C" void panic(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    host_vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    kernel_die("Kernel panic - not syncing: %s\n", buf);
}

extern "C" void __might_sleep(const char *file, int line) {
    struct task_struct *t = current;
    if (t->preempt_count == 0 && !t->irqs_off && !t->hardirq)
        return;
    kernel_die(
        "BUG: sleeping function called from invalid context at %s:%d\n"
        "in_atomic():%d, irqs_disabled():%d, pid: %d, name: %s\n",
        file, line, t->preempt_count > 0 || t->hardirq, t->irqs_off, t->pid, t->comm);
}
