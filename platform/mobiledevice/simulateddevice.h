// One simulated iPhone, described by a folder:
//   values.plist  its values: the device's own at the top level ("UniqueDeviceID",
//                 "DeviceName", "ProductVersion", ...), every other domain a dictionary
//                 under "Domains" ("com.apple.mobile.backup", "com.apple.disk_usage", ...);
//                 values set by the program are written back here
//   filesystem/   its file system
//   faults.plist  optional: a call name with the code it fails with ("AMDeviceConnect"),
//                 "Paired" false for a phone not yet paired with this computer, and
//                 "Services", a service name with the code its start fails with
// The session rules of a real phone are kept: a call out of order fails with its code.
#pragma once

#include "amdevice.h"
#include "plistnode.h"

#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class SimulatedDevice
{
public:
    static const char valuesFileName[];
    static const char faultsFileName[];
    static const char fileSystemFolderName[];
    static const char domainsKey[];

    // Null when the folder holds no readable values.
    static SimulatedDevice *open(const std::string &folder, bool watched);
    // The device behind a handle, or null for anything this library did not hand out.
    static SimulatedDevice *find(AMDeviceRef handle);

    AMDeviceRef handle() { return this; }
    const std::string &folder() const { return m_folder; }
    std::string fileSystemRoot() const;
    const std::string &udid() const { return m_udid; }
    const std::string &name() const { return m_name; }
    // Arrived through the devices folder rather than through the test hook.
    bool watched() const { return m_watched; }
    bool attached() const;
    // Gone: every later call fails and the services' sockets are shut.
    void detach();

    int connect();
    int isPaired();
    int pair();
    int validatePairing();
    int startSession();
    int stopSession();
    int disconnect();
    CFTypeRef copyValue(CFStringRef domain, CFStringRef key);
    int setValue(CFStringRef domain, CFStringRef key, CFTypeRef value);
    int startService(CFStringRef service, int *socket);
    CFStringRef copyDeviceIdentifier();

    // For services: a copy of a domain ("" is the device's own values), and a change of one
    // value, written back to the values file.
    PlistNode domainValues(const std::string &domain) const;
    bool setDomainValue(const std::string &domain, const std::string &key, PlistNode value);
    PlistNode faults() const;

    void log(const std::string &line);
    std::vector<std::string> callLog() const;
    void clearCallLog();

    void addServiceSocket(int socket);
    void removeServiceSocket(int socket);

private:
    enum class State { Disconnected, Connected, Validated, InSession };

    SimulatedDevice(const std::string &folder, bool watched, const PlistNode &values);
    // The code a call returns by the faults file, 0 when it does not fail.
    int faultFor(const char *call) const;
    // Logs "call(udid) = code" and returns the code.
    int logged(const char *call, int code, const std::string &detail = std::string());
    int requireState(State minimum) const;
    std::string valuesPath() const;

    const std::string m_folder;
    const bool m_watched;
    std::string m_udid;
    std::string m_name;

    mutable std::recursive_mutex m_mutex;
    bool m_attached = true;
    State m_state = State::Disconnected;
    std::deque<std::string> m_log;
    std::set<int> m_serviceSockets;
};
