// Makes writes beyond a file size fail for the whole test process, as on a full disk, also
// for root; restores the former limit when destroyed.
#pragma once

#include <sys/resource.h>

class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit former;
};
