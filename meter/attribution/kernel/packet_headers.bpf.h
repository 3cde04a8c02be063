/* Where a packet's transport payload starts, for the programs' payload counts:
 * the IP header, IPv6 extension headers and the TCP or UDP header. */
#pragma once

// libbpf's helpers use the types of linux/bpf.h.
// clang-format off
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
// clang-format on
#include <linux/in.h>
#include <linux/in6.h>

#define IPV4_FRAGMENT_OFFSET 0x1fff
#define IPV6_FIXED_HEADER 40
#define IPV6_MAX_EXTENSIONS 8

/* Bytes before the transport payload: the IP header, IPv6 extension headers
 * and the TCP or UDP header (none for other protocols and later fragments). */
static __always_inline __u32 transport_header_end(struct __sk_buff *skb, __u32 offset, __u8 proto)
{
    __u8 tcp_offset;

    if (proto == IPPROTO_UDP || proto == IPPROTO_UDPLITE)
        return offset + 8;
    if (proto == IPPROTO_TCP && bpf_skb_load_bytes(skb, offset + 12, &tcp_offset, 1) == 0)
        return offset + (tcp_offset >> 4) * 4;
    return offset;
}

static __always_inline __u32 ipv4_headers(struct __sk_buff *skb)
{
    __u8 header[20];

    if (bpf_skb_load_bytes(skb, 0, header, sizeof header) != 0)
        return 0;
    __u32 length = (header[0] & 0xf) * 4;
    __u16 fragment = ((__u16)header[6] << 8 | header[7]) & IPV4_FRAGMENT_OFFSET;
    if (fragment != 0)
        return length;
    return transport_header_end(skb, length, header[9]);
}

static __always_inline __u32 ipv6_headers(struct __sk_buff *skb)
{
    __u8 next = 0, extension[4];
    __u32 offset = IPV6_FIXED_HEADER;

    if (bpf_skb_load_bytes(skb, 6, &next, 1) != 0)
        return 0;
    for (int i = 0; i < IPV6_MAX_EXTENSIONS; i++) {
        if (next != IPPROTO_HOPOPTS && next != IPPROTO_ROUTING && next != IPPROTO_DSTOPTS &&
            next != IPPROTO_FRAGMENT && next != IPPROTO_AH && next != IPPROTO_MH)
            break;
        if (bpf_skb_load_bytes(skb, offset, extension, sizeof extension) != 0)
            return offset;
        __u8 current = next;
        next = extension[0];
        if (current == IPPROTO_FRAGMENT) {
            offset += 8;
            if (((__u16)extension[2] << 8 | extension[3]) & ~7)
                return offset; /* a later fragment: no transport header */
        } else if (current == IPPROTO_AH) {
            offset += (extension[1] + 2) * 4;
        } else {
            offset += (extension[1] + 1) * 8;
        }
    }
    return transport_header_end(skb, offset, next);
}

static __always_inline __u32 header_bytes(struct __sk_buff *skb)
{
    __u8 version;

    if (bpf_skb_load_bytes(skb, 0, &version, 1) != 0)
        return 0;
    if (version >> 4 == 4)
        return ipv4_headers(skb);
    if (version >> 4 == 6)
        return ipv6_headers(skb);
    return 0;
}
