// Loads the kernel counters and holds them until killed; prints "ready" once
// they are attached. For the test that kills it.
#include "kernel_socket_counters.h"

#include <cstdio>
#include <unistd.h>

int main()
{
    vexmora::meter::KernelSocketCounters counters;
    QString error;
    if (!counters.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
