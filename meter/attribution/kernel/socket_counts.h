/* The layout that the kernel programs write and the library reads: one
 * socket's counts since the programs first saw it. Plain C, for both sides. */
#pragma once

#include <linux/types.h>

#define VX_COMM_BYTES 16

enum vx_direction {
    VX_RECV = 0,
    VX_SENT = 1,
};

/* How the programs record the process that creates or moves a socket's bytes. */
enum vx_pid_view {
    VX_PIDS_GLOBAL = 0,    /* the kernel's own ids: the loader is in the first pid namespace */
    VX_PIDS_NAMESPACE = 1, /* as the loader's pid namespace sees them; 0 for a process outside it */
    VX_PIDS_NONE = 2,      /* 0: the kernel gives the program no ids of that namespace */
};

struct vx_socket_counts
{
    __u64 wire[2];    /* IP bytes plus one link header per segment */
    __u64 payload[2]; /* transport payload bytes */
    __u64 packets[2]; /* segments */
    __u32 tgid;       /* 0: unknown (predates the programs, or outside the loader's view) */
    __u32 uid;
    char comm[VX_COMM_BYTES];
    __u8 protocol;
    /* Which life of the socket's cookie the counts are of: a TCP socket that
     * connects again after TCP_CLOSE, or that sends its reset after its
     * counts were finished, is counted anew under the same cookie. */
    __u8 life;
    /* The socket is another network namespace's (a container's): only what
     * it exchanges with addresses the host routes through a counted
     * interface is counted. */
    __u8 contained;
    __u8 padding[5];
};

/* A prefix of the host's routes, IPv4 as IPv4-mapped IPv6 (::ffff:0:0/96),
 * the key of the programs' longest-prefix-match map: 1 where the host keeps
 * the traffic to it (its own addresses, bridges, other containers), 0 where
 * it routes it through a counted interface; an address of no prefix stays. */
#define VX_ROUTE_PREFIXES 4096
struct vx_route_key
{
    __u32 prefix_bits;
    __u8 address[16];
};

/* What a process executed, kept by process id when it executes (and given
 * to the children it forks): what names it once it is gone. */
#define VX_PATH_BYTES 256
#define VX_ARGUMENT_BYTES 256
/* The cgroup v2 it ran in, by the names of its directory and the parents'
 * below the root: a container's, which names it (the scopes of Docker and
 * Podman, machines, ...), lies within a few levels of the root. */
#define VX_CGROUP_LEVELS 4
#define VX_CGROUP_NAME_BYTES 96
struct vx_execution
{
    char executable[VX_PATH_BYTES];    /* as execve() was given it, or the interpreter of a #! */
    char arguments[VX_ARGUMENT_BYTES]; /* argv, each NUL-terminated; cut at the size */
    __u32 argument_bytes;
    /* The nearest first, empty past the root's children; a name cut at the
     * size, or a cgroup deeper than the levels, leaves the path unknown. */
    __u32 cgroup_known;
    char cgroup[VX_CGROUP_LEVELS][VX_CGROUP_NAME_BYTES];
};

/* What the ring buffer carries when a socket is done. */
struct vx_finished_socket
{
    __u64 cookie;
    struct vx_socket_counts counts;
};
