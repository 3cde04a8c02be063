/* Kernel types the programs read, resolved against the running kernel's BTF
 * (only the members used are declared). */
#pragma once

#include <linux/in6.h>

typedef struct
{
    long long counter;
} atomic64_t;
struct sock_common
{
    unsigned short skc_family;
    volatile unsigned char skc_state;
    atomic64_t skc_cookie;
    struct in6_addr skc_v6_daddr;
    unsigned int skc_tw_rcv_nxt; /* a time-wait socket's */
} __attribute__((preserve_access_index));
struct mm_struct
{
    unsigned long arg_start;
    unsigned long arg_end;
} __attribute__((preserve_access_index));
struct kernfs_node
{
    const char *name;
} __attribute__((preserve_access_index));
/* The parent's member before Linux 6.15 and since. */
struct kernfs_node___plain
{
    struct kernfs_node *parent;
} __attribute__((preserve_access_index));
struct kernfs_node___rcu
{
    struct kernfs_node *__parent;
} __attribute__((preserve_access_index));
struct cgroup
{
    struct kernfs_node *kn;
} __attribute__((preserve_access_index));
struct css_set
{
    struct cgroup *dfl_cgrp;
} __attribute__((preserve_access_index));
struct task_struct
{
    int pid;
    int tgid;
    struct mm_struct *mm;
    struct css_set *cgroups;
} __attribute__((preserve_access_index));
struct linux_binprm
{
    const char *interp;
} __attribute__((preserve_access_index));
struct sk_buff
{
    unsigned int len;
    unsigned short transport_header;
    unsigned short network_header;
    unsigned char *head;
    unsigned int end; /* an offset from head on 64-bit kernels */
} __attribute__((preserve_access_index));
struct skb_shared_info
{
    unsigned short gso_segs;
} __attribute__((preserve_access_index));
/* Why kfree_skb freed a packet; the values differ between kernels. */
enum skb_drop_reason {
    SKB_DROP_REASON_NO_SOCKET = 2,
};
struct sock
{
    struct sock_common __sk_common;
} __attribute__((preserve_access_index));
struct request_sock_ops
{
    int family;
} __attribute__((preserve_access_index));
struct request_sock
{
    struct sock_common __req_common;
    const struct request_sock_ops *rsk_ops;
} __attribute__((preserve_access_index));
struct inet_timewait_sock
{
    struct sock_common __tw_common;
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
