/* What each process executed, kept by its process id from the moment it
 * executes: a program that ends before the meter reads /proc is still named
 * by its executable, or an interpreter by its script. Only where the kernel's
 * own process ids are the loader's (the first pid namespace).
 *
 * Included by socket_counters.bpf.c. */
#pragma once

struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u32);
    __type(value, struct vx_execution);
} executions SEC(".maps");

struct
{
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct vx_execution);
} execution_scratch SEC(".maps");

static __always_inline struct kernfs_node *parent_of(struct kernfs_node *node)
{
    if (bpf_core_field_exists(((struct kernfs_node___rcu *)node)->__parent))
        return BPF_CORE_READ((struct kernfs_node___rcu *)node, __parent);
    return BPF_CORE_READ((struct kernfs_node___plain *)node, parent);
}

/* The names of the task's cgroup v2 directory and its parents below the root. */
static __always_inline void note_cgroup(struct task_struct *task, struct vx_execution *execution)
{
    struct kernfs_node *node = BPF_CORE_READ(task, cgroups, dfl_cgrp, kn);
    execution->cgroup_known = 1;
    for (int level = 0; level < VX_CGROUP_LEVELS; level++) {
        execution->cgroup[level][0] = 0;
        struct kernfs_node *parent = node ? parent_of(node) : 0;
        if (!parent)
            continue; /* node is the root, or none */
        long length = bpf_probe_read_kernel_str(execution->cgroup[level], VX_CGROUP_NAME_BYTES,
                                                BPF_CORE_READ(node, name));
        if (length <= 0 || length >= VX_CGROUP_NAME_BYTES)
            execution->cgroup_known = 0; /* unreadable, or perhaps cut */
        node = parent;
    }
    if (node && parent_of(node))
        execution->cgroup_known = 0; /* deeper than the levels kept */
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(note_exec, struct task_struct *task, int old_pid, struct linux_binprm *program)
{
    __u32 zero = 0;
    struct vx_execution *execution = bpf_map_lookup_elem(&execution_scratch, &zero);
    if (creator_pids != VX_PIDS_GLOBAL || !execution)
        return 0;
    bpf_probe_read_kernel_str(execution->executable, sizeof execution->executable, program->interp);
    /* The new image's arguments, which execve() has just written. */
    struct mm_struct *mm = task->mm;
    const unsigned long start = BPF_CORE_READ(mm, arg_start), end = BPF_CORE_READ(mm, arg_end);
    __u32 bytes = end > start ? (__u32)(end - start) : 0;
    if (bytes > VX_ARGUMENT_BYTES)
        bytes = VX_ARGUMENT_BYTES;
    execution->argument_bytes = 0;
    if (bytes > 0 && bpf_probe_read_user(execution->arguments, bytes, (void *)start) == 0)
        execution->argument_bytes = bytes;
    note_cgroup(task, execution);
    __u32 tgid = task->tgid;
    bpf_map_update_elem(&executions, &tgid, execution, BPF_ANY);
    return 0;
}

/* A child runs its parent's program until it executes another; its process
 * id may have named another program before. */
SEC("tp_btf/sched_process_fork")
int BPF_PROG(note_fork, struct task_struct *parent, struct task_struct *child)
{
    if (creator_pids != VX_PIDS_GLOBAL || child->pid != child->tgid)
        return 0;
    __u32 parent_tgid = parent->tgid, child_tgid = child->tgid;
    struct vx_execution *execution = bpf_map_lookup_elem(&executions, &parent_tgid);
    if (execution)
        bpf_map_update_elem(&executions, &child_tgid, execution, BPF_ANY);
    else
        bpf_map_delete_elem(&executions, &child_tgid);
    return 0;
}
