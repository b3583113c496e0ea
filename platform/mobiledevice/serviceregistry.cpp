#include "serviceregistry.h"

#include "amdevice.h"
#include "serviceconnection.h"
#include "simulateddevice.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

ServiceRegistry &ServiceRegistry::instance()
{
    // Never destroyed: service threads may still look here while the process exits.
    static ServiceRegistry *registry = new ServiceRegistry;
    return *registry;
}

void ServiceRegistry::add(const std::string &name, ServiceRun run)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_services[name] = run;
}

bool ServiceRegistry::has(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_services.count(name) != 0;
}

int ServiceRegistry::start(SimulatedDevice &device, const std::string &name, int *socket)
{
    ServiceRun run = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_services.find(name);
        if (it == m_services.end())
            return kQMDErrorServiceNotFound;
        run = it->second;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return kQMDErrorServiceFailed;
    try {
        std::thread([&device, name, run, end = ends[1]] {
            ServiceConnection connection(device, name, end);
            run(connection);
        }).detach();
    } catch (const std::system_error &) {
        ::close(ends[0]);
        ::close(ends[1]);
        return kQMDErrorServiceFailed;
    }
    *socket = ends[0];
    return kAMDSuccess;
}
