// Where device folders arrive: $QUILLMARROW_DEVICES, else "virtual_devices" in the
// program's data folder, found by the program's own rule (see shell/datafolder.cpp).
#pragma once

#include <string>

class DevicesFolder
{
public:
    static const char environmentVariable[];
    static const char defaultFolderName[];

    static std::string path();
    // The program's data folder, without creating it.
    static std::string programDataFolder();
};
