/* Preload library that refuses IPv4 and IPv6 sockets in a program that is
 * dynamically linked against the C library. It is the fallback when the
 * kernel filter is unavailable: a statically linked program, or one that
 * makes the system call itself, passes it by. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static int refused_family(int domain) { return domain == AF_INET || domain == AF_INET6 || domain == AF_PACKET; }

int socket(int domain, int type, int protocol) {
    if (refused_family(domain)) {
        errno = EACCES;
        return -1;
    }
    return (int)syscall(SYS_socket, domain, type, protocol);
}

int socketpair(int domain, int type, int protocol, int sv[2]) {
    if (refused_family(domain)) {
        errno = EACCES;
        return -1;
    }
    return (int)syscall(SYS_socketpair, domain, type, protocol, sv);
}
