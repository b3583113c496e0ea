// A test service: sends every framed message back as it came, until the peer closes.
#include "serviceconnection.h"
#include "serviceregistry.h"

namespace {

void runEcho(ServiceConnection &connection)
{
    int count = 0;
    for (;;) {
        std::string body;
        bool closed = false;
        if (!connection.receiveFrame(&body, &closed, 0) || !connection.sendFrame(body))
            break;
        ++count;
    }
    connection.log("echoed " + std::to_string(count) + " messages");
}

const ServiceRegistration registration("com.quillmarrow.test.echo", &runEcho);

} // namespace
