#include "support/syncrecorder.h"

#include <QFile>

#include <mutex>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::mutex g_mutex;
bool g_recording = false;
QStringList g_synced;

} // namespace

extern "C" int fsync(int fd)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_recording) {
            char path[4096];
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
            if (length > 0)
                g_synced << QFile::decodeName(QByteArray(path, int(length)));
        }
    }
    return int(syscall(SYS_fsync, fd));
}

SyncRecorder::SyncRecorder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_synced.clear();
    g_recording = true;
}

SyncRecorder::~SyncRecorder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recording = false;
}

QStringList SyncRecorder::synced() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_synced;
}
