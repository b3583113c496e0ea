// Build-time tool: runs an SQL script into a fresh SQLite database file.
// Usage: makedb <script.sql> <output.db>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: makedb <script.sql> <output.db>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "makedb: can not read %s\n", argv[1]);
        return 1;
    }
    std::stringstream script;
    script << in.rdbuf();

    // Written beside the target and renamed, so a failed run never leaves a
    // half-filled database that the build would take as up to date.
    const std::string target = argv[2];
    const std::string temp = target + ".tmp";
    std::remove(temp.c_str());

    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
        != SQLITE_OK) {
        std::fprintf(stderr, "makedb: can not create %s: %s\n", temp.c_str(),
            db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return 1;
    }
    char *error = nullptr;
    const int rc = sqlite3_exec(db, script.str().c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "makedb: %s: %s\n", argv[1], error ? error : "error");
        sqlite3_free(error);
        sqlite3_close(db);
        std::remove(temp.c_str());
        return 1;
    }
    if (sqlite3_close(db) != SQLITE_OK || std::rename(temp.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "makedb: can not write %s\n", target.c_str());
        std::remove(temp.c_str());
        return 1;
    }
    return 0;
}
