#ifndef _ASM_SIGNAL_H
#define _ASM_SIGNAL_H

#define SIGHUP 1
#define SIGINT 2
#define SIGKILL 9
#define SIGBUS 7
#define SIGSEGV 11
#define SIGTERM 15
#define SIGCHLD 17

#endif
