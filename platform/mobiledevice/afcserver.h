// The device's end of its file service (AFC): binary requests with a 40-byte header, served
// over one folder that no path, ".." or link may leave. Handles belong to the connection
// and are never handed out twice.
#pragma once

#include "replyfault.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ServiceConnection;

class AFCServer
{
public:
    // What a status reply carries besides 0 for success.
    enum Status : uint64_t {
        Success = 0,
        Failed = 1,
        BadHeader = 2,
        ReadFailed = 3,
        WriteFailed = 4,
        UnknownOperation = 5,
        InvalidArgument = 6,
        NotFound = 7,
        IsDirectory = 8,
        OutsideRoot = 9,
        TooLarge = 10,
        Exists = 11,
        NotEmpty = 12,
        BadHandle = 13,
        NotDirectory = 14,
    };

    static constexpr size_t headerSize = 40;
    static const char magic[9];
    // A request's payload and data above this are refused.
    static constexpr uint64_t maxRequestData = 16 * 1024 * 1024;

    // `fault` goes on counting the messages of a service that sent some before.
    AFCServer(ServiceConnection &connection, const std::string &root, const ReplyFault &fault);
    ~AFCServer();
    AFCServer(const AFCServer &) = delete;
    AFCServer &operator=(const AFCServer &) = delete;

    // Answers requests until the peer goes, a request is malformed or a fault ends it.
    void serve();

private:
    struct Request
    {
        uint64_t operation;
        std::string payload;
        std::string data;
    };

    bool receive(Request *request);
    // The whole reply packet for one request.
    std::string answer(const Request &request);

    std::string readDirectory(const std::string &path);
    std::string fileInfo(const std::string &path);
    std::string makeDirectory(const std::string &path);
    std::string removePath(const std::string &path);
    std::string renamePath(const std::string &payload);
    std::string openFile(const std::string &payload);
    std::string readFile(const std::string &payload);
    std::string writeFile(const std::string &payload, const std::string &data);
    std::string closeFile(const std::string &payload);
    std::string lockFile(const std::string &payload);

    // The host path of a device path inside the root, or a status. With `followLast` a
    // final link is followed, and must stay inside too.
    uint64_t resolve(const std::string &devicePath, bool followLast, std::string *host) const;
    bool inside(const std::string &hostPath) const;
    int descriptorOf(const std::string &payload, uint64_t *status) const;

    ServiceConnection &m_connection;
    const std::string m_realRoot;
    ReplyFault m_fault;
    std::map<uint64_t, int> m_files;
    uint64_t m_nextHandle = 1;
};
