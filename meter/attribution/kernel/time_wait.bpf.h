/* The last packets of a connection whose program closed it first: once the
 * peer has acknowledged the program's FIN, an orphaned socket gives way to a
 * time-wait socket, which keeps the cookie but no storage, passes no cgroup
 * program and still receives the peer's FIN and sends the last ACK. Each such
 * packet is handed to the reader at once as the final counts of a life of
 * its own, in the name of the connection's owner.
 *
 * Included by socket_counters.bpf.c after its maps and finish(). */
#pragma once

/* The owners of connections that may go on in time-wait, by cookie. A
 * connection pushed out by newer ones leaves its time-wait packets to the
 * host's unattributed bytes. */
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 16384);
    __type(key, __u64);
    __type(value, struct vx_socket_counts);
} lingering SEC(".maps");

#define TCP_TIME_WAIT_STATE 6 /* the kernel's TCP_TIME_WAIT */

/* Whose an entry's counts are, without the counts: what the packets after
 * its socket's end are counted in, as the life `life`. */
static __always_inline void copy_owner(struct vx_socket_counts *owner,
                                       const struct vx_socket_counts *counts, __u8 life)
{
    owner->tgid = counts->tgid;
    owner->uid = counts->uid;
    __builtin_memcpy(owner->comm, counts->comm, sizeof owner->comm);
    owner->protocol = counts->protocol;
    owner->contained = counts->contained;
    owner->life = life;
}

/* At FIN_WAIT1 (the program closed first): the connection may go on in
 * time-wait, so its owner is kept, with no counts, in the next life. Kept
 * before the time-wait socket exists, which may take the peer's FIN on
 * another CPU before this socket's TCP_CLOSE is reported. */
static __always_inline void keep_for_time_wait(__u64 cookie)
{
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    if (!counts)
        return;
    struct vx_socket_counts owner = {};
    copy_owner(&owner, counts, counts->life + 1);
    bpf_map_update_elem(&lingering, &cookie, &owner, BPF_ANY);
}

/* One packet's counts handed to the reader at once, as final counts of a
 * life of their own in `owner`'s name. */
static __always_inline void hand_over(const struct vx_socket_counts *owner, __u64 cookie,
                                      int direction, __u64 wire, __u64 payload, __u32 segments)
{
    struct vx_finished_socket *record = bpf_ringbuf_reserve(&finished, sizeof *record, 0);
    if (!record) {
        __sync_fetch_and_add(&lost_finished, 1);
        return;
    }
    record->cookie = cookie;
    __builtin_memcpy(&record->counts, owner, sizeof record->counts);
    record->counts.wire[direction & 1] = wire;
    record->counts.payload[direction & 1] = payload;
    record->counts.packets[direction & 1] = segments;
    bpf_ringbuf_submit(record, wakeup_flags());
}

#define TCP_FLAGS_OFFSET 13
#define TCP_FIN 0x01
#define TCP_SYN 0x02
#define TCP_RST 0x04
#define TCP_BARE_HEADER 20
#define TCP_TIMESTAMPS 12 /* the only option a time-wait socket's ACK carries */

/* Whether the host keeps what a container's connection exchanges with the
 * sender of skb (its IP header at network_header). */
static __always_inline int arrival_kept_on_host(struct sk_buff *skb)
{
    struct vx_route_key key = {};
    const unsigned char *ip = skb->head + skb->network_header;
    __u8 version = 0;

    if (bpf_probe_read_kernel(&version, 1, ip) != 0)
        return 0;
    if (version >> 4 == 4) {
        key.address[10] = key.address[11] = 0xff;
        return bpf_probe_read_kernel(&key.address[12], 4, ip + 12) == 0 && stays_on_host(&key);
    }
    return version >> 4 == 6 && bpf_probe_read_kernel(key.address, 16, ip + 8) == 0 &&
           stays_on_host(&key);
}

/* The segments a received packet was, more than one where receive offload
 * merged them. */
static __always_inline __u32 arrival_segments(struct sk_buff *skb)
{
    struct skb_shared_info *shared = (struct skb_shared_info *)(skb->head + skb->end);
    __u16 segments = BPF_CORE_READ(shared, gso_segs);
    return segments ? segments : 1;
}

/* A TCP packet that reached no socket's cgroup program, the start of its TCP
 * header `tcp` (at transport_header; the IP header lies before), and the
 * packet the host answered it with from its own control socket (`reply`
 * bytes on the wire, 0 for none): counted in `owner`'s name. */
static __always_inline void count_arrival(const struct vx_socket_counts *owner, __u64 cookie,
                                          struct sk_buff *skb, const __u8 *tcp, __u32 reply)
{
    const __u32 ip_header = (__u32)(skb->transport_header - skb->network_header);
    const __u32 tcp_header = (__u32)(tcp[12] >> 4) * 4;
    const __u32 segments = arrival_segments(skb);
    const __u32 length = skb->len;
    /* Each merged segment came with its own headers; the packet keeps the first's. */
    hand_over(owner, cookie, VX_RECV,
              length + ip_header + ETH_HLEN +
                  (__u64)(segments - 1) * (ETH_HLEN + ip_header + tcp_header),
              length > tcp_header ? length - tcp_header : 0, segments);
    if (reply)
        hand_over(owner, cookie, VX_SENT, reply, 0, 1);
}

/* What reaches a time-wait socket passes no cgroup program. Nor does the ACK
 * it answers with (tcp_v[46]_timewait_ack() sends it from the host's own
 * control socket): that is counted by its size, the incoming IP header and
 * a bare TCP header with timestamps when the arrival had options (its
 * timestamps, which the ACK echoes). A time-wait socket answers the peer's
 * FIN, and any segment but a reset or a SYN outside the one it expects next
 * (`expected`: a late or repeated ACK); tracing sees `expected` before or
 * after the socket took the segment, and either tells the same. */
static __always_inline void count_time_wait_arrival(__u64 cookie, struct sk_buff *skb,
                                                    __u32 expected)
{
    struct vx_socket_counts *owner = bpf_map_lookup_elem(&lingering, &cookie);
    if (!owner || (owner->contained && arrival_kept_on_host(skb)))
        return;
    __u8 tcp[TCP_FLAGS_OFFSET + 1] = {};
    bpf_probe_read_kernel(tcp, sizeof tcp, skb->head + skb->transport_header);
    const __u32 ip_header = (__u32)(skb->transport_header - skb->network_header);
    const __u32 tcp_header = (__u32)(tcp[12] >> 4) * 4;
    const __u32 sequence = (__u32)tcp[4] << 24 | (__u32)tcp[5] << 16 | (__u32)tcp[6] << 8 | tcp[7];
    const __u8 flags = tcp[TCP_FLAGS_OFFSET];
    const int answered = !(flags & (TCP_RST | TCP_SYN)) &&
                         ((flags & TCP_FIN) || skb->len > tcp_header || sequence != expected);
    __u32 ack = 0;
    if (answered)
        ack = ETH_HLEN + ip_header + TCP_BARE_HEADER +
              (tcp_header > TCP_BARE_HEADER ? TCP_TIMESTAMPS : 0);
    count_arrival(owner, cookie, skb, tcp, ack);
}

/* Where the kernel names the socket a packet was freed by (Linux 6.12). */
SEC("tp_btf/kfree_skb")
int BPF_PROG(note_time_wait_arrival, struct sk_buff *skb, void *location, int reason,
             struct sock *receiver)
{
    if (!receiver || receiver->__sk_common.skc_state != TCP_TIME_WAIT_STATE)
        return 0;
    count_time_wait_arrival(receiver->__sk_common.skc_cookie.counter, skb,
                            receiver->__sk_common.skc_tw_rcv_nxt);
    return 0;
}

/* Elsewhere, where the kernel lets the programs trace its functions: every
 * segment a time-wait socket receives goes through this one. */
SEC("fentry/tcp_timewait_state_process")
int BPF_PROG(note_time_wait_segment, struct inet_timewait_sock *socket, struct sk_buff *skb)
{
    count_time_wait_arrival(socket->__tw_common.skc_cookie.counter, skb,
                            socket->__tw_common.skc_tw_rcv_nxt);
    return 0;
}
