#include "platform/process/hugepageheap.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

void restartWithHugePageHeap(char **argv)
{
    static const char Name[] = "GLIBC_TUNABLES";
    const char *current = std::getenv(Name);
    if (current && std::strstr(current, "glibc.malloc.hugetlb="))
        return;
    const std::string before = current ? current : "";
    const std::string tunables
        = before.empty() ? "glibc.malloc.hugetlb=1" : before + ":glibc.malloc.hugetlb=1";
    if (setenv(Name, tunables.c_str(), 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    // Not restarted: leave the environment as it was for the programs this one starts.
    if (current)
        setenv(Name, before.c_str(), 1);
    else
        unsetenv(Name);
}
