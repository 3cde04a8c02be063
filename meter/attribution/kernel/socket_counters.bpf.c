/* Counts every socket's traffic as its packets move. Attached at the root of
 * the cgroup v2 hierarchy, so every socket of the host passes through; the
 * packet programs never drop anything: each returns 1 on every path.
 *
 * The loader's network namespace is the host's: its sockets count everything
 * but loopback. A socket of another one (a container's) counts only what it
 * exchanges with addresses that the host routes through a counted interface
 * (host_routes, kept by the reader from the host's routes): its traffic to the
 * host, to other containers and over the host's bridges crosses no counted
 * interface, and what it sends out does, as the same IP packets (address
 * translation changes addresses, not sizes).
 *
 * Whose a socket is: sock_create stores the creating process in socket-local
 * storage, which a listener's accepted sockets inherit (BPF_F_CLONE), and the
 * iterators mark the host's sockets that existed before the programs loaded
 * (owner unknown). A socket without that storage is not counted: it is a
 * container's older than the programs. Processes are recorded by their pid in the
 * loader's pid namespace, or as unknown where it cannot see them. */
#include "kernel_types.bpf.h"
#include "packet_headers.bpf.h"
#include "socket_counts.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/in6.h>

#define AF_INET 2
#define AF_INET6 10
#define LOOPBACK_IFINDEX 1

/* Set by the loader: the network namespace whose sockets are counted, and
 * how process ids are recorded (enum vx_pid_view) where sockets are created
 * and where bytes move, with the loader's pid namespace (the device and inode
 * of its nsfs file) for VX_PIDS_NAMESPACE. */
const volatile __u64 counted_netns = 0;
const volatile __u8 creator_pids = VX_PIDS_GLOBAL;
const volatile __u8 mover_pids = VX_PIDS_GLOBAL;
const volatile __u64 pid_namespace_dev = 0;
const volatile __u64 pid_namespace_ino = 0;
/* Whether tcp_destroy_sock finishes TCP sockets: the last point at which a
 * TCP socket sends anything (the reset that tcp_close() sends after the
 * state has become TCP_CLOSE). */
const volatile __u8 follows_tcp_destroy = 0;

__u64 uncounted_packets = 0;  /* the live map was full */
__u64 lost_finished = 0;      /* the ring buffer was full */
__u32 reader_asleep = 0;      /* set by the reader: wake it at the next packet */
__u8 synacks_at_creation = 0; /* set by the reader: see synacks.bpf.h */

enum owner_flags {
    OWNER_STATE_CALLBACK = 1, /* sockops reports this TCP socket's TCP_CLOSE */
    OWNER_RELEASED = 2,
    /* The final counts went for good: no later packet makes a new entry,
     * which nothing would ever finish. */
    OWNER_DONE = 4,
    OWNER_CONTAINED = 8, /* of another network namespace than the loader's */
};

struct socket_owner
{
    __u32 tgid;
    __u32 uid;
    char comm[VX_COMM_BYTES];
    __u32 flags;
    __u32 lives; /* entries made for the socket so far */
};

struct
{
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, 65536);
    __type(key, __u64);
    __type(value, struct vx_socket_counts);
} live SEC(".maps");

struct
{
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC | BPF_F_CLONE);
    __type(key, int);
    __type(value, struct socket_owner);
} owners SEC(".maps");

/* 21,845 final counts: ten times what 100,000 connections a minute leave
 * between two reads 2 s apart. */
#define FINISHED_BYTES (2 << 20)
struct
{
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, FINISHED_BYTES);
} finished SEC(".maps");

struct
{
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, VX_ROUTE_PREFIXES);
    __type(key, struct vx_route_key);
    __type(value, __u8);
} host_routes SEC(".maps");

/* Whether the host keeps the traffic to `key`'s address: a longest-prefix
 * match in its routes, as the host's own routing decides; an address no
 * route covers cannot leave through a counted interface (another namespace
 * of the host's own, unreachable from it). */
static __always_inline int stays_on_host(struct vx_route_key *key)
{
    key->prefix_bits = 128;
    __u8 *stays = bpf_map_lookup_elem(&host_routes, key);
    return !stays || *stays;
}

/* The remote address of a packet that starts at its IP header: the
 * destination of what is sent, the source of what is received. */
static __always_inline int remote_of(struct __sk_buff *skb, int direction, struct vx_route_key *key)
{
    __u8 version;

    if (bpf_skb_load_bytes(skb, 0, &version, 1) != 0)
        return 0;
    if (version >> 4 == 4) {
        key->address[10] = key->address[11] = 0xff;
        return bpf_skb_load_bytes(skb, direction == VX_SENT ? 16 : 12, &key->address[12], 4) == 0;
    }
    if (version >> 4 == 6)
        return bpf_skb_load_bytes(skb, direction == VX_SENT ? 24 : 8, key->address, 16) == 0;
    return 0;
}

static __always_inline int kept_on_host(struct __sk_buff *skb, int direction)
{
    struct vx_route_key key = {};
    return remote_of(skb, direction, &key) && stays_on_host(&key);
}

static __always_inline int is_inet(__u32 family)
{
    return family == AF_INET || family == AF_INET6;
}

/* The calling process as the loader sees it; 0 when it cannot: the process
 * is outside the loader's pid namespace (or in one nested in it), which a pid
 * of another namespace would name another process or none. The view is read
 * only, so the verifier never sees the helper a program is not given. */
static __always_inline __u32 current_tgid(__u8 view)
{
    struct bpf_pidns_info ids = {};

    if (view == VX_PIDS_GLOBAL)
        return bpf_get_current_pid_tgid() >> 32;
    if (view == VX_PIDS_NAMESPACE &&
        bpf_get_ns_current_pid_tgid(pid_namespace_dev, pid_namespace_ino, &ids, sizeof ids) == 0)
        return ids.tgid;
    return 0;
}

/* The name of the calling thread, none for a process not known. */
static __always_inline void current_comm(__u32 tgid, char (*comm)[VX_COMM_BYTES])
{
    if (tgid != 0)
        bpf_get_current_comm(*comm, sizeof *comm);
    else
        __builtin_memset(*comm, 0, sizeof *comm);
}

static __always_inline struct vx_socket_counts *add_entry(__u64 cookie, struct socket_owner *owner,
                                                          __u8 protocol)
{
    struct vx_socket_counts fresh = {};

    fresh.life = (__u8)__sync_fetch_and_add(&owner->lives, 1);
    fresh.tgid = owner->tgid;
    fresh.uid = owner->uid;
    __builtin_memcpy(fresh.comm, owner->comm, sizeof fresh.comm);
    fresh.protocol = protocol;
    fresh.contained = (owner->flags & OWNER_CONTAINED) != 0;
    /* Fails when another CPU was first (then the lookup finds its entry) or
     * when the map is full (then it finds nothing). */
    bpf_map_update_elem(&live, &cookie, &fresh, BPF_NOEXIST);
    return bpf_map_lookup_elem(&live, &cookie);
}

/* The socket's entry, made at its first packet that counts; none for a
 * packet that does not count (a container's that stays on the host). */
static __always_inline struct vx_socket_counts *entry_for(struct __sk_buff *skb, __u64 cookie,
                                                          int direction)
{
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    if (counts)
        return counts->contained && kept_on_host(skb, direction) ? 0 : counts;
    struct bpf_sock *sk = skb->sk;
    if (!sk)
        return 0;
    sk = bpf_sk_fullsock(sk);
    if (!sk)
        return 0;
    struct socket_owner *owner = bpf_sk_storage_get(&owners, sk, 0, 0);
    if (!owner || (owner->flags & OWNER_DONE))
        return 0;
    if ((owner->flags & OWNER_CONTAINED) && kept_on_host(skb, direction))
        return 0;
    counts = add_entry(cookie, owner, sk->protocol);
    if (!counts)
        __sync_fetch_and_add(&uncounted_packets, skb->gso_segs ? skb->gso_segs : 1);
    return counts;
}

/* The reader drains the final counts at every sample; in between it is woken
 * only once they fill a quarter of the buffer, not for each socket that
 * closes. */
static __always_inline __u64 wakeup_flags(void)
{
    return bpf_ringbuf_query(&finished, BPF_RB_AVAIL_DATA) >= FINISHED_BYTES / 4
               ? BPF_RB_FORCE_WAKEUP
               : BPF_RB_NO_WAKEUP;
}

/* Hands the socket's final counts to the reader and forgets it. */
static __always_inline void finish(__u64 cookie)
{
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    if (!counts)
        return;
    struct vx_finished_socket *record = bpf_ringbuf_reserve(&finished, sizeof *record, 0);
    if (record) {
        record->cookie = cookie;
        __builtin_memcpy(&record->counts, counts, sizeof record->counts);
    }
    if (bpf_map_delete_elem(&live, &cookie) != 0) { /* finished elsewhere already */
        if (record)
            bpf_ringbuf_discard(record, 0);
        return;
    }
    if (record)
        bpf_ringbuf_submit(record, wakeup_flags());
    else
        __sync_fetch_and_add(&lost_finished, 1);
}

#include "executions.bpf.h"
#include "time_wait.bpf.h"
/* after time_wait.bpf.h, whose counting it shares */
#include "strays.bpf.h"

/* A record shorter than a socket's final counts: the reader only wakes.
 * Two CPUs may both send one; the reader ignores them. */
static __always_inline void wake_reader(void)
{
    __u64 wake = 0;

    reader_asleep = 0;
    bpf_ringbuf_output(&finished, &wake, sizeof wake, BPF_RB_FORCE_WAKEUP);
}

static __always_inline void add_packets(struct vx_socket_counts *counts, int direction, __u64 wire,
                                        __u64 payload, __u32 segments)
{
    __sync_fetch_and_add(&counts->wire[direction & 1], wire);
    __sync_fetch_and_add(&counts->payload[direction & 1], payload);
    __sync_fetch_and_add(&counts->packets[direction & 1], segments);
    if (reader_asleep)
        wake_reader();
}

static __always_inline void count(struct __sk_buff *skb, int direction)
{
    if (skb->ifindex == LOOPBACK_IFINDEX)
        return;
    struct vx_socket_counts *counts = entry_for(skb, bpf_get_socket_cookie(skb), direction);
    __u32 segments = skb->gso_segs ? skb->gso_segs : 1;
    __u32 headers = header_bytes(skb);
    __u32 payload = skb->len > headers ? skb->len - headers : 0;
    /* A segmentation-offload packet leaves as `segments` packets, each with
     * its own IP and transport header and its own link header. */
    __u64 wire = skb->len + (__u64)(segments - 1) * headers + (__u64)segments * ETH_HLEN;
    if (counts)
        add_packets(counts, direction, wire, payload, segments);
}

#include "synacks.bpf.h"

SEC("cgroup_skb/ingress")
int count_ingress(struct __sk_buff *skb)
{
    count(skb, VX_RECV);
    return 1;
}

SEC("cgroup_skb/egress")
int count_egress(struct __sk_buff *skb)
{
    if (!synack_counted_at_creation(skb))
        count(skb, VX_SENT);
    return 1;
}

#include "socket_iterators.bpf.h"
#include "socket_lives.bpf.h"
#include "socket_movers.bpf.h"

char LICENSE[] SEC("license") = "GPL";
