#include "afcserver.h"

#include "serviceconnection.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

const char AFCServer::magic[9] = "CFA6LPAA";

namespace {

enum Operation : uint64_t {
    OpStatus = 1,
    OpData = 2,
    OpReadDirectory = 3,
    OpRemovePath = 8,
    OpMakeDirectory = 9,
    OpGetFileInfo = 10,
    OpFileOpen = 13,
    OpFileOpenResult = 14,
    OpFileRead = 15,
    OpFileWrite = 16,
    OpFileClose = 20,
    OpRenamePath = 24,
    OpFileLock = 27,
};

enum OpenMode : uint64_t { OpenForReading = 1, OpenForWriting = 3 };

// flock-style lock operations, optionally with the non-blocking bit.
constexpr uint64_t lockShared = 1;
constexpr uint64_t lockExclusive = 2;
constexpr uint64_t lockNonBlocking = 4;
constexpr uint64_t lockRelease = 8;

void putLe64(std::string *out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

uint64_t le64(const char *bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::string packet(uint64_t operation, const std::string &data)
{
    std::string bytes(AFCServer::magic, 8);
    putLe64(&bytes, AFCServer::headerSize + data.size());
    putLe64(&bytes, AFCServer::headerSize + data.size());
    putLe64(&bytes, 0);
    putLe64(&bytes, operation);
    return bytes + data;
}

std::string status(uint64_t code)
{
    std::string value;
    putLe64(&value, code);
    return packet(OpStatus, value);
}

// The NUL-terminated text at `offset`; false when no NUL ends it.
bool textAt(const std::string &payload, size_t offset, std::string *text, size_t *next = nullptr)
{
    if (offset > payload.size())
        return false;
    const size_t end = payload.find('\0', offset);
    if (end == std::string::npos)
        return false;
    *text = payload.substr(offset, end - offset);
    if (next)
        *next = end + 1;
    return true;
}

uint64_t statusOfErrno(int error)
{
    switch (error) {
    case ENOENT:
        return AFCServer::NotFound;
    case EEXIST:
        return AFCServer::Exists;
    case ENOTEMPTY:
        return AFCServer::NotEmpty;
    case EISDIR:
        return AFCServer::IsDirectory;
    case ENOTDIR:
        return AFCServer::NotDirectory;
    default:
        return AFCServer::Failed;
    }
}

// The parts of a slash-separated path, without empty ones.
std::vector<std::string> partsOf(const std::string &path)
{
    std::vector<std::string> parts;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string typeName(mode_t mode)
{
    if (S_ISREG(mode))
        return "S_IFREG";
    if (S_ISDIR(mode))
        return "S_IFDIR";
    if (S_ISLNK(mode))
        return "S_IFLNK";
    if (S_ISCHR(mode))
        return "S_IFCHR";
    if (S_ISBLK(mode))
        return "S_IFBLK";
    if (S_ISFIFO(mode))
        return "S_IFIFO";
    return "S_IFSOCK";
}

uint64_t nanoseconds(const timespec &time)
{
    return static_cast<uint64_t>(time.tv_sec) * 1000000000ull + static_cast<uint64_t>(time.tv_nsec);
}

} // namespace

AFCServer::AFCServer(
    ServiceConnection &connection, const std::string &root, const ReplyFault &fault)
    : m_connection(connection)
    , m_realRoot(realPath(root))
    , m_fault(fault)
{
}

AFCServer::~AFCServer()
{
    for (const auto &file : m_files)
        ::close(file.second);
}

void AFCServer::serve()
{
    if (m_realRoot.empty()) {
        m_connection.log("no folder to serve");
        return;
    }
    Request request;
    while (receive(&request)) {
        const ReplyFault::Kind fault = m_fault.next();
        std::string reply = fault == ReplyFault::ErrorStatus
            ? status(static_cast<uint64_t>(m_fault.code()))
            : answer(request);
        if (fault == ReplyFault::WrongMagic) {
            m_connection.log("reply with a wrong magic");
            reply[0] = 'X';
        }
        if (!ReplyFault::send(m_connection, reply, headerSize, fault))
            return;
    }
}

bool AFCServer::receive(Request *request)
{
    char header[headerSize];
    // Between requests the program may take as long as it likes.
    if (!m_connection.receiveAll(header, headerSize, 0))
        return false;
    const uint64_t entireLength = le64(header + 8);
    const uint64_t thisLength = le64(header + 16);
    if (std::memcmp(header, magic, 8) != 0 || thisLength < headerSize || entireLength < thisLength
        || entireLength - headerSize > maxRequestData) {
        m_connection.log("malformed request header");
        const std::string reply = status(BadHeader);
        m_connection.sendAll(reply.data(), reply.size());
        return false;
    }
    request->operation = le64(header + 32);
    request->payload.assign(thisLength - headerSize, '\0');
    request->data.assign(entireLength - thisLength, '\0');
    return (request->payload.empty()
               || m_connection.receiveAll(&request->payload[0], request->payload.size()))
        && (request->data.empty()
            || m_connection.receiveAll(&request->data[0], request->data.size()));
}

std::string AFCServer::answer(const Request &request)
{
    std::string path;
    switch (request.operation) {
    case OpReadDirectory:
        return textAt(request.payload, 0, &path) ? readDirectory(path) : status(InvalidArgument);
    case OpGetFileInfo:
        return textAt(request.payload, 0, &path) ? fileInfo(path) : status(InvalidArgument);
    case OpMakeDirectory:
        return textAt(request.payload, 0, &path) ? makeDirectory(path) : status(InvalidArgument);
    case OpRemovePath:
        return textAt(request.payload, 0, &path) ? removePath(path) : status(InvalidArgument);
    case OpRenamePath:
        return renamePath(request.payload);
    case OpFileOpen:
        return openFile(request.payload);
    case OpFileRead:
        return readFile(request.payload);
    case OpFileWrite:
        return writeFile(request.payload, request.data);
    case OpFileClose:
        return closeFile(request.payload);
    case OpFileLock:
        return lockFile(request.payload);
    default:
        m_connection.log("unknown operation " + std::to_string(request.operation));
        return status(UnknownOperation);
    }
}

bool AFCServer::inside(const std::string &hostPath) const
{
    return hostPath == m_realRoot
        || (hostPath.size() > m_realRoot.size()
            && hostPath.compare(0, m_realRoot.size(), m_realRoot) == 0
            && hostPath[m_realRoot.size()] == '/');
}

uint64_t AFCServer::resolve(const std::string &devicePath, bool followLast, std::string *host) const
{
    std::vector<std::string> parts;
    for (const std::string &part : partsOf(devicePath)) {
        if (part == "..") {
            if (parts.empty())
                return OutsideRoot;
            parts.pop_back();
        } else if (part != ".") {
            parts.push_back(part);
        }
    }
    if (parts.empty()) {
        *host = m_realRoot;
        return Success;
    }
    std::string parent = m_realRoot;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        parent += "/" + parts[i];
    // Links on the way are followed, and must not lead out.
    const std::string realParent = realPath(parent);
    if (realParent.empty())
        return NotFound;
    if (!inside(realParent))
        return OutsideRoot;
    *host = realParent + "/" + parts.back();
    struct stat info;
    if (followLast && ::lstat(host->c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        const std::string target = realPath(*host);
        if (target.empty())
            return NotFound;
        if (!inside(target))
            return OutsideRoot;
        *host = target;
    }
    return Success;
}

std::string AFCServer::readDirectory(const std::string &path)
{
    std::string host;
    const uint64_t code = resolve(path, true, &host);
    if (code != Success)
        return status(code);
    DIR *folder = ::opendir(host.c_str());
    if (!folder)
        return status(statusOfErrno(errno));
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    std::string listing(".\0..\0", 5);
    for (const std::string &name : names)
        listing += name + '\0';
    return packet(OpData, listing);
}

std::string AFCServer::fileInfo(const std::string &path)
{
    std::string host;
    const uint64_t code = resolve(path, false, &host);
    if (code != Success)
        return status(code);
    struct stat info;
    if (::lstat(host.c_str(), &info) != 0)
        return status(statusOfErrno(errno));
    std::string text;
    const auto add = [&text](const char *key, const std::string &value) {
        text += key + std::string(1, '\0') + value + '\0';
    };
    add("st_size", std::to_string(info.st_size));
    add("st_blocks", std::to_string(info.st_blocks));
    add("st_nlink", std::to_string(info.st_nlink));
    add("st_ifmt", typeName(info.st_mode));
    add("st_mtime", std::to_string(nanoseconds(info.st_mtim)));
    add("st_birthtime", std::to_string(nanoseconds(info.st_ctim)));
    return packet(OpData, text);
}

std::string AFCServer::makeDirectory(const std::string &path)
{
    // Like "mkdir -p": every missing folder on the way is made, each checked as it comes.
    std::string built;
    for (const std::string &part : partsOf(path)) {
        built += "/" + part;
        std::string host;
        const uint64_t code = resolve(built, true, &host);
        if (code != Success)
            return status(code);
        struct stat info;
        if (::stat(host.c_str(), &info) != 0) {
            if (::mkdir(host.c_str(), 0755) != 0)
                return status(statusOfErrno(errno));
        } else if (!S_ISDIR(info.st_mode)) {
            return status(Exists);
        }
    }
    return status(Success);
}

std::string AFCServer::removePath(const std::string &path)
{
    std::string host;
    const uint64_t code = resolve(path, false, &host);
    if (code != Success)
        return status(code);
    if (host == m_realRoot)
        return status(InvalidArgument);
    struct stat info;
    if (::lstat(host.c_str(), &info) != 0)
        return status(statusOfErrno(errno));
    const int result = S_ISDIR(info.st_mode) ? ::rmdir(host.c_str()) : ::unlink(host.c_str());
    // Some systems report a full folder as EEXIST.
    if (result != 0)
        return status(errno == EEXIST ? NotEmpty : statusOfErrno(errno));
    return status(Success);
}

std::string AFCServer::renamePath(const std::string &payload)
{
    std::string from;
    std::string to;
    size_t next = 0;
    if (!textAt(payload, 0, &from, &next) || !textAt(payload, next, &to))
        return status(InvalidArgument);
    std::string hostFrom;
    std::string hostTo;
    uint64_t code = resolve(from, false, &hostFrom);
    if (code == Success)
        code = resolve(to, false, &hostTo);
    if (code != Success)
        return status(code);
    if (hostFrom == m_realRoot || hostTo == m_realRoot)
        return status(InvalidArgument);
    if (::rename(hostFrom.c_str(), hostTo.c_str()) != 0)
        return status(statusOfErrno(errno));
    return status(Success);
}

std::string AFCServer::openFile(const std::string &payload)
{
    std::string path;
    if (payload.size() < 8 || !textAt(payload, 8, &path))
        return status(InvalidArgument);
    const uint64_t mode = le64(payload.data());
    int flags = 0;
    if (mode == OpenForReading)
        flags = O_RDONLY;
    else if (mode == OpenForWriting)
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    else
        return status(InvalidArgument);
    std::string host;
    const uint64_t code = resolve(path, true, &host);
    if (code != Success)
        return status(code);
    struct stat info;
    if (::stat(host.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return status(IsDirectory);
    // The path was checked with its links followed; no link may appear in its place now.
    const int descriptor = ::open(host.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor < 0)
        return status(statusOfErrno(errno));
    const uint64_t handle = m_nextHandle++;
    m_files[handle] = descriptor;
    std::string value;
    putLe64(&value, handle);
    return packet(OpFileOpenResult, value);
}

int AFCServer::descriptorOf(const std::string &payload, uint64_t *code) const
{
    if (payload.size() < 8) {
        *code = InvalidArgument;
        return -1;
    }
    const auto it = m_files.find(le64(payload.data()));
    if (it == m_files.end()) {
        *code = BadHandle;
        return -1;
    }
    *code = Success;
    return it->second;
}

std::string AFCServer::readFile(const std::string &payload)
{
    uint64_t code = Success;
    const int descriptor = descriptorOf(payload, &code);
    if (descriptor < 0)
        return status(code);
    if (payload.size() < 16)
        return status(InvalidArgument);
    const uint64_t wanted = le64(payload.data() + 8);
    if (wanted > maxRequestData)
        return status(TooLarge);
    std::string bytes(static_cast<size_t>(wanted), '\0');
    size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t count = ::read(descriptor, &bytes[total], bytes.size() - total);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return status(ReadFailed);
        if (count == 0)
            break;
        total += static_cast<size_t>(count);
    }
    bytes.resize(total);
    return packet(OpData, bytes);
}

std::string AFCServer::writeFile(const std::string &payload, const std::string &data)
{
    uint64_t code = Success;
    const int descriptor = descriptorOf(payload, &code);
    if (descriptor < 0)
        return status(code);
    size_t total = 0;
    while (total < data.size()) {
        const ssize_t count = ::write(descriptor, data.data() + total, data.size() - total);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return status(WriteFailed);
        total += static_cast<size_t>(count);
    }
    return status(Success);
}

std::string AFCServer::closeFile(const std::string &payload)
{
    uint64_t code = Success;
    const int descriptor = descriptorOf(payload, &code);
    if (descriptor < 0)
        return status(code);
    m_files.erase(le64(payload.data()));
    return status(::close(descriptor) == 0 ? Success : Failed);
}

std::string AFCServer::lockFile(const std::string &payload)
{
    uint64_t code = Success;
    if (descriptorOf(payload, &code) < 0)
        return status(code);
    if (payload.size() < 16)
        return status(InvalidArgument);
    const uint64_t operation = le64(payload.data() + 8) & ~lockNonBlocking;
    const bool known
        = operation == lockShared || operation == lockExclusive || operation == lockRelease;
    return status(known ? Success : InvalidArgument);
}
