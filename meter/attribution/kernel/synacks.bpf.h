/* A listener's IPv6 SYN-ACKs. Some kernels (Linux 6.1) send them past the
 * cgroup egress programs: ip6_xmit() is given the listener while the packet
 * belongs to the request, which the egress hook takes for another socket.
 * Where the programs may trace tcp_make_synack, every SYN-ACK of an IPv6
 * request is counted there instead, in the listener's entry as the egress
 * program would count it, and the egress program leaves a listener's IPv6
 * packets alone (synacks_at_creation, set once this program is attached).
 *
 * Included by socket_counters.bpf.c after its entry functions. */
#pragma once

#define TCP_LISTEN_STATE 10 /* the kernel's TCP_LISTEN */

/* Whether the host keeps what a container's listener sends to the peer of
 * `req`. */
static __always_inline int request_kept_on_host(struct request_sock *req)
{
    struct vx_route_key key = {};

    if (bpf_probe_read_kernel(key.address, sizeof key.address, &req->__req_common.skc_v6_daddr))
        return 0;
    return stays_on_host(&key);
}

/* The SYN-ACK as it is made: its TCP header is all of it. A listener's only
 * (a Fast Open child's SYN-ACK passes the egress program). */
SEC("fexit/tcp_make_synack")
int BPF_PROG(note_synack, struct sock *listener, void *route, struct request_sock *req,
             void *fast_open, int type, struct sk_buff *syn, struct sk_buff *synack)
{
    /* The request's family is its listener's, also for an IPv4 connection
     * to an IPv6 listener; its operations' is the packet's. */
    if (!synack || listener->__sk_common.skc_state != TCP_LISTEN_STATE ||
        req->rsk_ops->family != AF_INET6)
        return 0;
    struct socket_owner *owner = bpf_sk_storage_get(&owners, listener, 0, 0);
    if (!owner || (owner->flags & OWNER_DONE) ||
        ((owner->flags & OWNER_CONTAINED) && request_kept_on_host(req)))
        return 0;
    const __u64 cookie = bpf_get_socket_cookie(listener);
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    if (!counts)
        counts = add_entry(cookie, owner, IPPROTO_TCP);
    if (!counts) {
        __sync_fetch_and_add(&uncounted_packets, 1);
        return 0;
    }
    add_packets(counts, VX_SENT, synack->len + IPV6_FIXED_HEADER + ETH_HLEN, 0, 1);
    return 0;
}

/* What the egress program leaves to note_synack. */
static __always_inline int synack_counted_at_creation(struct __sk_buff *skb)
{
    if (!synacks_at_creation)
        return 0;
    struct bpf_sock *sk = skb->sk;
    return sk && sk->state == BPF_TCP_LISTEN && skb->protocol == bpf_htons(ETH_P_IPV6);
}
