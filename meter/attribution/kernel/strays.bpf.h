/* The peer's packets that arrive after a connection ended without time-wait:
 * closed with unread data or SO_LINGER {1, 0}, the program's reset crosses
 * the data the peer had in flight. Those packets find no socket; the kernel
 * drops each and answers it with a reset from the host's own control socket.
 * Both crossed the interface for the connection, so both are counted, as
 * final counts of their own in the name of its owner, found by the
 * connection's addresses and ports, kept when it reached TCP_CLOSE.
 *
 * Included by socket_counters.bpf.c after time_wait.bpf.h. */
#pragma once

/* A connection as its arriving packets name it: network byte order, IPv4
 * as IPv4-mapped IPv6. */
struct stray_key
{
    __u32 remote[4];
    __u32 local[4];
    __u16 remote_port;
    __u16 local_port;
};

struct closed_connection
{
    __u64 cookie;
    struct vx_socket_counts owner; /* no counts, the life STRAY_LIFE */
};

/* Late packets come within a round trip or two of the close. A connection
 * pushed out by newer ones (4,096 closes later: seconds at 100,000
 * connections a minute) leaves them to the host's unattributed bytes. */
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, struct stray_key);
    __type(value, struct closed_connection);
} closed_connections SEC(".maps");

/* A life the socket's own entries never reach in practice: its records
 * never meet a live entry's, so the reader counts each whole. */
#define STRAY_LIFE 0xff

#define IPPROTO_TCP_NUMBER 6
#define RESET_TCP_HEADER 20 /* a reset to a packet of no socket has no options */

static __always_inline void ipv4_mapped(__u32 address[4], __u32 ipv4)
{
    address[2] = bpf_htonl(0xffff);
    address[3] = ipv4;
}

static __always_inline void connection_of(struct bpf_sock_ops *ops, struct stray_key *key)
{
    /* Each field read alone, before any branch: the verifier refuses a
     * context pointer the compiler moved, or two fields read as one. */
#define CONTEXT_WORD(field) (*(volatile __u32 *)&ops->field)
    const __u32 remote4 = CONTEXT_WORD(remote_ip4), local4 = CONTEXT_WORD(local_ip4);
    const __u32 remote6[4] = {CONTEXT_WORD(remote_ip6[0]), CONTEXT_WORD(remote_ip6[1]),
                              CONTEXT_WORD(remote_ip6[2]), CONTEXT_WORD(remote_ip6[3])};
    const __u32 local6[4] = {CONTEXT_WORD(local_ip6[0]), CONTEXT_WORD(local_ip6[1]),
                             CONTEXT_WORD(local_ip6[2]), CONTEXT_WORD(local_ip6[3])};
#undef CONTEXT_WORD
    if (ops->family == AF_INET) {
        ipv4_mapped(key->remote, remote4);
        ipv4_mapped(key->local, local4);
    } else {
        __builtin_memcpy(key->remote, remote6, sizeof remote6);
        __builtin_memcpy(key->local, local6, sizeof local6);
    }
    /* The port's 16 network-order bits: in the low half, or shifted into
     * the high half where the kernel does so. */
    const __u32 port = ops->remote_port;
    key->remote_port = (__u16)(port >> 16 | port);
    key->local_port = bpf_htons((__u16)ops->local_port);
}

/* At TCP_CLOSE from a state where the peer may still be sending data
 * (`old`; after its FIN it sends none). Time-wait follows some of these; its
 * socket then takes the peer's packets. */
static __always_inline void keep_for_strays(struct bpf_sock_ops *ops, __u64 cookie, __u32 old)
{
    if (old != BPF_TCP_ESTABLISHED && old != BPF_TCP_FIN_WAIT1 && old != BPF_TCP_FIN_WAIT2)
        return;
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    if (!counts)
        return;
    struct stray_key key = {};
    struct closed_connection closed = {};
    connection_of(ops, &key);
    closed.cookie = cookie;
    copy_owner(&closed.owner, counts, STRAY_LIFE);
    bpf_map_update_elem(&closed_connections, &key, &closed, BPF_ANY);
}

/* The connection a dropped TCP packet was sent to, false for another
 * protocol. */
static __always_inline int arrival_connection(struct sk_buff *skb, const __u8 *tcp,
                                              struct stray_key *key)
{
    const unsigned char *ip = skb->head + skb->network_header;
    __u8 header[8];

    if (bpf_probe_read_kernel(header, sizeof header, ip) != 0)
        return 0;
    if (header[0] >> 4 == 4) {
        __u32 addresses[2];
        if (bpf_probe_read_kernel(&header[1], 1, ip + 9) != 0 || header[1] != IPPROTO_TCP_NUMBER ||
            bpf_probe_read_kernel(addresses, sizeof addresses, ip + 12) != 0)
            return 0;
        ipv4_mapped(key->remote, addresses[0]);
        ipv4_mapped(key->local, addresses[1]);
    } else if (header[0] >> 4 == 6) {
        if (header[6] != IPPROTO_TCP_NUMBER ||
            bpf_probe_read_kernel(key->remote, sizeof key->remote, ip + 8) != 0 ||
            bpf_probe_read_kernel(key->local, sizeof key->local, ip + 24) != 0)
            return 0;
    } else {
        return 0;
    }
    __builtin_memcpy(&key->remote_port, tcp, 2);
    __builtin_memcpy(&key->local_port, tcp + 2, 2);
    return 1;
}

/* Any packet the kernel drops; those that found no socket and belong to a
 * connection kept at its close are counted, with the reset answering them
 * (none answers a reset). */
SEC("tp_btf/kfree_skb")
int BPF_PROG(note_stray_arrival, struct sk_buff *skb, void *location, int reason)
{
    if (reason != (int)bpf_core_enum_value(enum skb_drop_reason, SKB_DROP_REASON_NO_SOCKET))
        return 0;
    __u8 tcp[TCP_FLAGS_OFFSET + 1] = {};
    struct stray_key key = {};
    if (bpf_probe_read_kernel(tcp, sizeof tcp, skb->head + skb->transport_header) != 0 ||
        !arrival_connection(skb, tcp, &key))
        return 0;
    struct closed_connection *closed = bpf_map_lookup_elem(&closed_connections, &key);
    if (!closed || (closed->owner.contained && arrival_kept_on_host(skb)))
        return 0;
    const __u32 ip_header = (__u32)(skb->transport_header - skb->network_header);
    const __u32 reset =
        tcp[TCP_FLAGS_OFFSET] & TCP_RST ? 0 : ETH_HLEN + ip_header + RESET_TCP_HEADER;
    count_arrival(&closed->owner, closed->cookie, skb, tcp, reset);
    return 0;
}
