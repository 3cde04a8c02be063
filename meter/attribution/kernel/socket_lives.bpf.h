/* Included by socket_counters.bpf.c after its maps and finish(): where a
 * socket's owner is recorded and where its life ends, by protocol and by what
 * the kernel offers. */
#pragma once

/* At TCP_CLOSE the counts so far are final; a socket connected again counts
 * anew. What a socket still sends after TCP_CLOSE makes a new entry, which
 * tcp_destroy_sock finishes; without that tracepoint, such packets of a
 * released socket are left uncounted rather than kept for ever. */
static __always_inline void close_tcp(struct bpf_sock_ops *ops)
{
    keep_for_strays(ops, bpf_get_socket_cookie(ops), ops->args[0]);
    if (!follows_tcp_destroy && ops->sk) {
        struct socket_owner *owner = bpf_sk_storage_get(&owners, ops->sk, 0, 0);
        if (owner && (owner->flags & OWNER_RELEASED))
            __sync_fetch_and_or(&owner->flags, OWNER_DONE);
    }
    finish(bpf_get_socket_cookie(ops));
}

SEC("cgroup/sock_create")
int note_creator(struct bpf_sock *sk)
{
    if (!is_inet(sk->family))
        return 1;
    struct socket_owner *owner = bpf_sk_storage_get(&owners, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (!owner)
        return 1;
    if (bpf_get_netns_cookie(sk) != counted_netns)
        owner->flags = OWNER_CONTAINED;
    owner->tgid = current_tgid(creator_pids);
    owner->uid = (__u32)bpf_get_current_uid_gid();
    current_comm(owner->tgid, &owner->comm);
    return 1;
}

/* TCP ends at TCP_CLOSE: what close() left in the send queue still leaves
 * after the release, and sockops reports the state. */
SEC("sockops")
int follow_tcp_state(struct bpf_sock_ops *ops)
{
    switch (ops->op) {
    case BPF_SOCK_OPS_TCP_CONNECT_CB:
    case BPF_SOCK_OPS_TCP_LISTEN_CB:
    case BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB: {
        struct bpf_sock *sk = ops->sk;
        if (!sk)
            return 1;
        struct socket_owner *owner = bpf_sk_storage_get(&owners, sk, 0, 0);
        if (!owner)
            return 1;
        if (bpf_sock_ops_cb_flags_set(ops,
                                      ops->bpf_sock_ops_cb_flags | BPF_SOCK_OPS_STATE_CB_FLAG) == 0)
            __sync_fetch_and_or(&owner->flags, OWNER_STATE_CALLBACK);
        return 1;
    }
    case BPF_SOCK_OPS_STATE_CB:
        if (ops->args[1] == BPF_TCP_FIN_WAIT1)
            keep_for_time_wait(bpf_get_socket_cookie(ops));
        else if (ops->args[1] == BPF_TCP_CLOSE)
            close_tcp(ops);
        return 1;
    }
    return 1;
}

/* Other sockets end at their release. Without tcp_destroy_sock, so does a
 * TCP socket that sockops does not follow (it predates the programs) or that
 * is closed already. */
SEC("cgroup/sock_release")
int note_release(struct bpf_sock *sk)
{
    if (!is_inet(sk->family))
        return 1;
    struct socket_owner *owner = bpf_sk_storage_get(&owners, sk, 0, 0);
    if (!owner)
        return 1;
    __sync_fetch_and_or(&owner->flags, OWNER_RELEASED);
    if (sk->protocol == IPPROTO_TCP &&
        (follows_tcp_destroy ||
         ((owner->flags & OWNER_STATE_CALLBACK) && sk->state != BPF_TCP_CLOSE)))
        return 1;
    __sync_fetch_and_or(&owner->flags, OWNER_DONE);
    finish(bpf_get_socket_cookie(sk));
    return 1;
}

/* The TCP socket is destroyed: whatever it sent after TCP_CLOSE (the reset
 * of a close with unread data or SO_LINGER {1, 0}) has been counted. */
SEC("tp_btf/tcp_destroy_sock")
int BPF_PROG(note_tcp_destroy, struct sock *sk)
{
    if (!is_inet(sk->__sk_common.skc_family))
        return 0;
    struct socket_owner *owner = bpf_sk_storage_get(&owners, sk, 0, 0);
    if (owner)
        __sync_fetch_and_or(&owner->flags, OWNER_DONE);
    finish(bpf_get_socket_cookie(sk));
    return 0;
}
