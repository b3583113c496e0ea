// What the fuzz targets share: a quiet log and, for those that talk to a device service, our
// Apple library stand-ins loaded at the start (LLVMFuzzerInitialize); a scratch folder for
// readers that take files; the device's end of a socket that sends the input to the
// program's end.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace fuzz {

// A folder of this process below the temporary folder, removed at exit.
QString scratchFolder();
// Writes the input to `name` in the scratch folder and returns its path.
QString writeScratchFile(const QString &name, const uint8_t *data, size_t size);

// Runs the operation; a std::runtime_error, the readers' way to refuse input, ends it quietly.
void attempt(const std::function<void()> &operation);

// A socket pair whose device end sends `bytes` and then nothing more, while it drops
// whatever the program sends, so that the program never waits on a full socket.
class DeviceEnd
{
public:
    explicit DeviceEnd(const QByteArray &bytes);
    // Closes the program's end, then waits for the device end to see it go.
    ~DeviceEnd();
    DeviceEnd(const DeviceEnd &) = delete;
    DeviceEnd &operator=(const DeviceEnd &) = delete;

    int programSocket() const { return m_programSocket; }

private:
    // Sends what the socket takes now; false when the program's end is gone.
    bool send();
    void play();

    QByteArray m_bytes;
    int m_sent = 0;
    bool m_shutDown = false;
    int m_programSocket = -1;
    int m_deviceSocket = -1;
    std::thread m_thread;
};

} // namespace fuzz
