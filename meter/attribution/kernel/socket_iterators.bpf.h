/* Included by socket_counters.bpf.c: the iterators over the loader's network
 * namespace's sockets, for those that predate the programs and for the sweep
 * of entries whose socket is gone. */
#pragma once

/* Sockets that existed before the programs: the iterators walk those of the
 * loader's network namespace and give them storage without an owner. */
SEC("iter/tcp")
int mark_tcp(struct bpf_iter__tcp *ctx)
{
    struct sock_common *common = ctx->sk_common;
    if (!common)
        return 0;
    struct tcp_sock *tcp = bpf_skc_to_tcp_sock(common);
    if (tcp)
        bpf_sk_storage_get(&owners, tcp, 0, BPF_SK_STORAGE_GET_F_CREATE);
    return 0;
}

SEC("iter/udp")
int mark_udp(struct bpf_iter__udp *ctx)
{
    struct udp_sock *udp = ctx->udp_sk;
    if (udp)
        bpf_sk_storage_get(&owners, udp, 0, BPF_SK_STORAGE_GET_F_CREATE);
    return 0;
}

/* The sockets of the loader's network namespace that exist, by cookie: an
 * entry whose socket is not among them missed its end, and the reader
 * finishes it. */
SEC("iter/tcp")
int list_tcp(struct bpf_iter__tcp *ctx)
{
    struct sock_common *common = ctx->sk_common;
    if (!common)
        return 0;
    __u64 cookie = bpf_get_socket_cookie(common);
    bpf_seq_write(ctx->meta->seq, &cookie, sizeof cookie);
    return 0;
}

SEC("iter/udp")
int list_udp(struct bpf_iter__udp *ctx)
{
    struct udp_sock *udp = ctx->udp_sk;
    if (!udp)
        return 0;
    __u64 cookie = bpf_get_socket_cookie(udp);
    bpf_seq_write(ctx->meta->seq, &cookie, sizeof cookie);
    return 0;
}
