#pragma once

// Loading a phone's messages fills hundreds of megabytes of fresh heap, and on virtual
// machines each 4 KiB page touched for the first time is costly: about half of a large
// load goes to those faults. glibc backs its heap with transparent huge pages when its
// "glibc.malloc.hugetlb" tunable asks for it, and reads tunables only when a program
// starts, so a program that wants them starts itself again once with the tunable added.
//
// Call first thing in main(). Returns when nothing is to be done: the tunable is already
// set (by the restart or by whoever started the program, whose choice stays), or the
// restart failed, in which case the program simply runs with the heap it has.
void restartWithHugePageHeap(char **argv);
