// The services a simulated device offers, by name. Each service lives in a source file of
// its own and registers itself there with a static ServiceRegistration:
//   static const ServiceRegistration registration("com.apple.afc", &runAfc);
// A started service runs on a thread of its own with the device's end of a socket pair;
// the program gets the other end.
#pragma once

#include <map>
#include <mutex>
#include <string>

class ServiceConnection;
class SimulatedDevice;

using ServiceRun = void (*)(ServiceConnection &connection);

class ServiceRegistry
{
public:
    static ServiceRegistry &instance();

    void add(const std::string &name, ServiceRun run);
    bool has(const std::string &name) const;
    // Starts the service and hands out the program's end of its socket; a library code.
    int start(SimulatedDevice &device, const std::string &name, int *socket);

private:
    mutable std::mutex m_mutex;
    std::map<std::string, ServiceRun> m_services;
};

class ServiceRegistration
{
public:
    ServiceRegistration(const char *name, ServiceRun run)
    {
        ServiceRegistry::instance().add(name, run);
    }
};
