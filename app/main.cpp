#include "app/startup.h"
#include "platform/process/hugepageheap.h"

int main(int argc, char **argv)
{
    restartWithHugePageHeap(argv);
    return runApplication(argc, argv);
}
