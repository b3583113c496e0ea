// The device's end of a socket pair, for tests of the program's service code: a thread
// plays a script of sends and receives against the program's end.
#pragma once

#include <QByteArray>
#include <QList>

#include <functional>
#include <thread>

class ServicePeer
{
public:
    ServicePeer();
    // Waits for the script, then closes both ends.
    ~ServicePeer();
    ServicePeer(const ServicePeer &) = delete;
    ServicePeer &operator=(const ServicePeer &) = delete;

    bool isValid() const { return m_programSocket >= 0 && m_peerSocket >= 0; }
    int programSocket() const { return m_programSocket; }

    void run(std::function<void(ServicePeer &)> script);
    void join();

    // For scripts, on the peer's end.
    // In pieces of `chunk` bytes (0: whole) with `pauseMs` between them.
    bool sendRaw(const QByteArray &bytes, int chunk = 0, int pauseMs = 0);
    bool sendFrame(const QByteArray &body, int chunk = 0, int pauseMs = 0);
    // A frame's body, or a null array when none came whole within the time-out.
    QByteArray receiveFrame(int timeoutMs = 5000);
    // Exactly `length` bytes, or a null array when they did not all come in time.
    QByteArray receiveRaw(int length, int timeoutMs = 5000);
    // Closes the peer's end (the program then sees the peer gone).
    void closePeer();

    static QByteArray frame(const QByteArray &body);

private:
    bool receiveAll(char *buffer, int length, int timeoutMs);

    int m_programSocket = -1;
    int m_peerSocket = -1;
    std::thread m_thread;
};
