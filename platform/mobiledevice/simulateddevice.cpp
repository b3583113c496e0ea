#include "simulateddevice.h"

#include "serviceregistry.h"

#include <QtGlobal>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>

const char SimulatedDevice::valuesFileName[] = "values.plist";
const char SimulatedDevice::faultsFileName[] = "faults.plist";
const char SimulatedDevice::fileSystemFolderName[] = "filesystem";
const char SimulatedDevice::domainsKey[] = "Domains";

namespace {

constexpr size_t maxLogEntries = 10000;

// Every device ever handed out, never freed: the program may keep a handle after removal.
struct Devices
{
    std::mutex mutex;
    std::vector<std::unique_ptr<SimulatedDevice>> all;
};

Devices &devices()
{
    static Devices *instance = new Devices;
    return *instance;
}

// Pairing is remembered by the computer, across arrivals of the same phone.
struct Pairings
{
    std::mutex mutex;
    std::set<std::string> paired;
};

Pairings &pairings()
{
    static Pairings *instance = new Pairings;
    return *instance;
}

// A string argument as UTF-8; `present` is false for null or anything but a string.
std::string utf8Of(CFStringRef string, bool *present)
{
    *present = string && CFGetTypeID(string) == CFStringGetTypeID();
    if (!*present)
        return std::string();
    const CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    CFStringGetBytes(
        string, CFRange { 0, length }, kCFStringEncodingUTF8, '?', false, nullptr, 0, &needed);
    std::string text(static_cast<size_t>(needed), '\0');
    CFStringGetBytes(string, CFRange { 0, length }, kCFStringEncodingUTF8, '?', false,
        reinterpret_cast<UInt8 *>(&text[0]), needed, &needed);
    text.resize(static_cast<size_t>(needed));
    return text;
}

std::string shown(CFStringRef string)
{
    bool present = false;
    const std::string text = utf8Of(string, &present);
    return present ? text : std::string("null");
}

} // namespace

SimulatedDevice::SimulatedDevice(const std::string &folder, bool watched, const PlistNode &values)
    : m_folder(folder)
    , m_watched(watched)
    , m_udid(values.stringItem("UniqueDeviceID"))
    , m_name(values.stringItem("DeviceName"))
{
}

SimulatedDevice *SimulatedDevice::open(const std::string &folder, bool watched)
{
    const PlistNode values = PlistNode::fromFile(folder + "/" + valuesFileName);
    if (!values.isDict())
        return nullptr;
    Devices &d = devices();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.all.emplace_back(new SimulatedDevice(folder, watched, values));
    return d.all.back().get();
}

SimulatedDevice *SimulatedDevice::find(AMDeviceRef handle)
{
    if (!handle)
        return nullptr;
    Devices &d = devices();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (const auto &device : d.all) {
        if (device.get() == handle)
            return device.get();
    }
    return nullptr;
}

std::string SimulatedDevice::fileSystemRoot() const
{
    return m_folder + "/" + fileSystemFolderName;
}

std::string SimulatedDevice::valuesPath() const
{
    return m_folder + "/" + valuesFileName;
}

bool SimulatedDevice::attached() const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_attached;
}

void SimulatedDevice::detach()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_attached = false;
    m_state = State::Disconnected;
    // The services see their peer gone and end; their threads close the sockets.
    for (int socket : m_serviceSockets)
        ::shutdown(socket, SHUT_RDWR);
}

PlistNode SimulatedDevice::faults() const
{
    return PlistNode::fromFile(m_folder + "/" + faultsFileName);
}

int SimulatedDevice::faultFor(const char *call) const
{
    bool found = false;
    const long long code = faults().integerItem(call, &found);
    return found ? static_cast<int>(code) : kAMDSuccess;
}

int SimulatedDevice::logged(const char *call, int code, const std::string &detail)
{
    std::string line = std::string(call) + "(" + m_udid + (detail.empty() ? "" : ", " + detail)
        + ") = " + std::to_string(code);
    log(line);
    return code;
}

void SimulatedDevice::log(const std::string &line)
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_log.push_back(line);
        if (m_log.size() > maxLogEntries)
            m_log.pop_front();
    }
    qDebug("iTunesMobileDevice: %s", line.c_str());
}

std::vector<std::string> SimulatedDevice::callLog() const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return std::vector<std::string>(m_log.begin(), m_log.end());
}

void SimulatedDevice::clearCallLog()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_log.clear();
}

int SimulatedDevice::requireState(State minimum) const
{
    if (!m_attached)
        return kQMDErrorDeviceRemoved;
    if (m_state < minimum) {
        switch (m_state) {
        case State::Disconnected:
            return kQMDErrorNotConnected;
        case State::Connected:
            return kQMDErrorPairingNotValidated;
        default:
            return kQMDErrorNoSession;
        }
    }
    return kAMDSuccess;
}

int SimulatedDevice::connect()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // A phone whose folder was taken away is gone, even before the watcher's next scan.
    if (!m_attached || (m_watched && ::access(valuesPath().c_str(), F_OK) != 0))
        return logged("AMDeviceConnect", kQMDErrorDeviceRemoved);
    if (m_state != State::Disconnected)
        return logged("AMDeviceConnect", kQMDErrorAlreadyConnected);
    const int code = faultFor("AMDeviceConnect");
    if (code == kAMDSuccess)
        m_state = State::Connected;
    return logged("AMDeviceConnect", code);
}

int SimulatedDevice::isPaired()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int paired = 0;
    if (requireState(State::Connected) == kAMDSuccess) {
        Pairings &p = pairings();
        std::lock_guard<std::mutex> pairLock(p.mutex);
        paired = faults().boolItem("Paired", true) || p.paired.count(m_udid) ? 1 : 0;
    }
    return logged("AMDeviceIsPaired", paired);
}

int SimulatedDevice::pair()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int code = requireState(State::Connected);
    if (code == kAMDSuccess)
        code = faultFor("AMDevicePair");
    if (code == kAMDSuccess) {
        Pairings &p = pairings();
        std::lock_guard<std::mutex> pairLock(p.mutex);
        p.paired.insert(m_udid);
    }
    return logged("AMDevicePair", code);
}

int SimulatedDevice::validatePairing()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int code = requireState(State::Connected);
    if (code == kAMDSuccess && m_state != State::Connected)
        code = kQMDErrorSessionActive;
    if (code == kAMDSuccess) {
        Pairings &p = pairings();
        std::lock_guard<std::mutex> pairLock(p.mutex);
        if (!faults().boolItem("Paired", true) && !p.paired.count(m_udid))
            code = kQMDErrorNotPaired;
    }
    if (code == kAMDSuccess)
        code = faultFor("AMDeviceValidatePairing");
    if (code == kAMDSuccess)
        m_state = State::Validated;
    return logged("AMDeviceValidatePairing", code);
}

int SimulatedDevice::startSession()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int code = requireState(State::Validated);
    if (code == kAMDSuccess && m_state == State::InSession)
        code = kQMDErrorSessionActive;
    if (code == kAMDSuccess)
        code = faultFor("AMDeviceStartSession");
    if (code == kAMDSuccess)
        m_state = State::InSession;
    return logged("AMDeviceStartSession", code);
}

int SimulatedDevice::stopSession()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int code = requireState(State::InSession);
    if (code == kAMDSuccess) {
        m_state = State::Validated;
        code = faultFor("AMDeviceStopSession");
    }
    return logged("AMDeviceStopSession", code);
}

int SimulatedDevice::disconnect()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    int code = requireState(State::Connected);
    if (code == kAMDSuccess) {
        m_state = State::Disconnected;
        code = faultFor("AMDeviceDisconnect");
    }
    return logged("AMDeviceDisconnect", code);
}

PlistNode SimulatedDevice::domainValues(const std::string &domain) const
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    PlistNode values = PlistNode::fromFile(valuesPath());
    if (!values.isDict())
        return PlistNode();
    if (!domain.empty())
        return values.dictItem(domainsKey).dictItem(domain.c_str());
    plist_dict_remove_item(values.get(), domainsKey);
    return values;
}

bool SimulatedDevice::setDomainValue(
    const std::string &domain, const std::string &key, PlistNode value)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    PlistNode values = PlistNode::fromFile(valuesPath());
    if (!values.isDict() || value.isNull() || key.empty() || (domain.empty() && key == domainsKey))
        return false;
    plist_t target = values.get();
    if (!domain.empty()) {
        plist_t domains = values.item(domainsKey);
        if (!PlistNode::isType(domains, PLIST_DICT)) {
            domains = plist_new_dict();
            plist_dict_set_item(target, domainsKey, domains);
        }
        target = plist_dict_get_item(domains, domain.c_str());
        if (!PlistNode::isType(target, PLIST_DICT)) {
            target = plist_new_dict();
            plist_dict_set_item(domains, domain.c_str(), target);
        }
    }
    plist_dict_set_item(target, key.c_str(), value.release());
    return values.writeXmlFile(valuesPath());
}

CFTypeRef SimulatedDevice::copyValue(CFStringRef domain, CFStringRef key)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const std::string detail = shown(domain) + ", " + shown(key);
    CFTypeRef result = nullptr;
    int code = requireState(State::InSession);
    if (code == kAMDSuccess) {
        bool hasKey = false;
        bool hasDomain = false;
        const std::string keyText = utf8Of(key, &hasKey);
        const PlistNode values = domainValues(utf8Of(domain, &hasDomain));
        if (!hasKey)
            result = values.toCF();
        else if (plist_t item = values.item(keyText.c_str()))
            result = PlistNode(plist_copy(item)).toCF();
    }
    logged("AMDeviceCopyValue", code, detail + (result ? "" : " -> null"));
    return result;
}

int SimulatedDevice::setValue(CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const std::string detail = shown(domain) + ", " + shown(key);
    int code = requireState(State::InSession);
    if (code == kAMDSuccess)
        code = faultFor("AMDeviceSetValue");
    if (code == kAMDSuccess) {
        bool hasKey = false;
        bool hasDomain = false;
        const std::string keyText = utf8Of(key, &hasKey);
        const std::string domainText = utf8Of(domain, &hasDomain);
        PlistNode node = PlistNode::fromCF(value);
        if (!hasKey || keyText.empty() || node.isNull()
            || (domainText.empty() && keyText == domainsKey))
            code = kQMDErrorInvalidArgument;
        else if (!setDomainValue(domainText, keyText, std::move(node)))
            code = kQMDErrorWriteFailed;
    }
    return logged("AMDeviceSetValue", code, detail);
}

int SimulatedDevice::startService(CFStringRef service, int *socket)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    bool hasName = false;
    const std::string name = utf8Of(service, &hasName);
    int code = requireState(State::InSession);
    if (code == kAMDSuccess && (!hasName || !socket))
        code = kQMDErrorInvalidArgument;
    if (code == kAMDSuccess) {
        bool found = false;
        const long long fault = faults().dictItem("Services").integerItem(name.c_str(), &found);
        if (found)
            code = static_cast<int>(fault);
    }
    if (code == kAMDSuccess)
        code = ServiceRegistry::instance().start(*this, name, socket);
    return logged("AMDeviceStartService", code, name);
}

CFStringRef SimulatedDevice::copyDeviceIdentifier()
{
    logged("AMDeviceCopyDeviceIdentifier", kAMDSuccess);
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(m_udid.data()),
        static_cast<CFIndex>(m_udid.size()), kCFStringEncodingUTF8, false);
}

void SimulatedDevice::addServiceSocket(int socket)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_serviceSockets.insert(socket);
}

void SimulatedDevice::removeServiceSocket(int socket)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_serviceSockets.erase(socket);
}
