// "com.apple.afc": the file service over the device's whole file system.
#include "afcserver.h"
#include "serviceconnection.h"
#include "serviceregistry.h"
#include "simulateddevice.h"

namespace {

void runAfc(ServiceConnection &connection)
{
    AFCServer(connection, connection.device().fileSystemRoot(), ReplyFault(connection)).serve();
}

const ServiceRegistration registration("com.apple.afc", &runAfc);

} // namespace
