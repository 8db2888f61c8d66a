#ifndef _LINUX_NETDEVICE_H
#define _LINUX_NETDEVICE_H

/*
 * Only what a module outside networking uses: synchronize_net(), a grace
 * period exported to every module (synchronize_sched is GPL-only). On a
 * kernel without preemption it waits what synchronize_sched() waits.
 */

#ifdef __cplusplus
extern "C" {
#endif

void synchronize_net(void);

#ifdef __cplusplus
}
#endif

#endif
