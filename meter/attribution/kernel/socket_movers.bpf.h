/* Included by socket_counters.bpf.c: the owner of a live socket's entry
 * follows the process that moves its bytes. */
#pragma once

/* The task that really moves the bytes: a pre-forked server's worker, a
 * socket passed over exec. One the loader cannot see makes the socket's
 * owner unknown again. */
static __always_inline void note_mover(struct sock *sk, int moved)
{
    if (moved <= 0 || !is_inet(sk->__sk_common.skc_family))
        return;
    __u64 cookie = bpf_get_socket_cookie(sk);
    struct vx_socket_counts *counts = bpf_map_lookup_elem(&live, &cookie);
    __u32 tgid = current_tgid(mover_pids);
    if (!counts || counts->tgid == tgid)
        return;
    counts->tgid = tgid;
    counts->uid = (__u32)bpf_get_current_uid_gid();
    current_comm(tgid, &counts->comm);
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(note_sender, struct sock *sk, int sent, int flags)
{
    note_mover(sk, sent);
    return 0;
}

SEC("tp_btf/sock_recv_length")
int BPF_PROG(note_receiver, struct sock *sk, int received, int flags)
{
    note_mover(sk, received);
    return 0;
}
