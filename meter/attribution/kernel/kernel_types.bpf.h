/* Kernel types the programs read, resolved against the running kernel's BTF
 * (only the members used are declared). */
#pragma once

struct sock_common
{
    unsigned short skc_family;
} __attribute__((preserve_access_index));
struct sock
{
    struct sock_common __sk_common;
} __attribute__((preserve_access_index));
struct bpf_iter_meta
{
    void *seq;
} __attribute__((preserve_access_index));
struct bpf_iter__tcp
{
    struct bpf_iter_meta *meta;
    struct sock_common *sk_common;
} __attribute__((preserve_access_index));
struct bpf_iter__udp
{
    struct bpf_iter_meta *meta;
    struct udp_sock *udp_sk;
} __attribute__((preserve_access_index));
